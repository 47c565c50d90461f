// Regular expressions (ECMAScript, as std::regex has them) for the tests
// that read a program's text. The matching is compiled once, here.
#pragma once

#include <string>
#include <vector>

// The first match of `pattern` in `text`: the whole match, then each
// group; empty when nothing matches.
std::vector<std::string> firstMatch(const std::string& text, const std::string& pattern);

// Whether the whole of `text` matches `pattern`.
bool matchesWhole(const std::string& text, const std::string& pattern);

// The first group of each match of `pattern` in `text`, in order.
std::vector<std::string> everyMatch(const std::string& text, const std::string& pattern);

// `text` with each match of `pattern` replaced by `replacement`.
std::string replaceMatches(const std::string& text, const std::string& pattern, const std::string& replacement);
