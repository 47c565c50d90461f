#include "Invariants.h"
#include "TestPlatform.h"

namespace {

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// getopt's message for an option character that is not in "h?": one byte
// between the quotes.
bool isUnknownOptionDiagnostic(const std::string& line, const std::string& programName)
{
    std::string head = programName + ": invalid option -- '";
    return line.size() == head.size() + 2 && startsWith(line, head) && line.back() == '\'';
}

void checkErrorLines(const std::string& err, const std::string& programName, std::vector<std::string>* violations)
{
    if (!err.empty() && err.back() != '\n')
        violations->push_back("standard error does not end with a newline");
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos)
            end = err.size();
        std::string line = err.substr(start, end - start);
        if (!startsWith(line, "quellix: ") && !isUnknownOptionDiagnostic(line, programName))
            violations->push_back("standard error line without \"quellix: \": \"" + line.substr(0, 200) + "\"");
        start = end + 1;
    }
}

void checkUsagePlacement(const std::string& out, std::vector<std::string>* violations)
{
    const std::string usage = kUsageText;
    // The first line of the usage text marks where it starts.
    size_t at = out.find(usage.substr(0, usage.find('\n') + 1));
    if (at == std::string::npos)
        return;
    if (out.compare(at, std::string::npos, usage) != 0)
        violations->push_back("the usage text is not the last thing on standard output");
}

} // namespace

std::vector<std::string> invariantViolations(const RunResult& result, const std::string& programName)
{
    std::vector<std::string> violations;
    if (result.timedOut)
        violations.push_back("it did not finish in time");
    if (result.signal != 0)
        violations.push_back("it was ended by signal " + std::to_string(result.signal));
    else if (result.exitStatus != 0 && result.exitStatus != 10 && result.exitStatus != 20)
        violations.push_back("exit status " + std::to_string(result.exitStatus));
    checkErrorLines(result.err, programName, &violations);
    if (!result.out.empty() && result.out.back() != '\n')
        violations.push_back("standard output does not end with a newline");
    checkUsagePlacement(result.out, &violations);
    return violations;
}
