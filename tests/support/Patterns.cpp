#include "Patterns.h"

#include <regex>

std::vector<std::string> firstMatch(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern)))
        return {};
    return std::vector<std::string>(match.begin(), match.end());
}

bool matchesWhole(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

std::vector<std::string> everyMatch(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> groups;
    const std::regex expression(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), expression), end; it != end; ++it)
        groups.push_back((*it)[1].str());
    return groups;
}

std::string replaceMatches(const std::string& text, const std::string& pattern, const std::string& replacement)
{
    return std::regex_replace(text, std::regex(pattern), replacement);
}
