// What every run of quellix must give, whatever its command line: the
// properties the command-line property test checks.
#pragma once

#include "Process.h"

#include <string>
#include <vector>

// The ways `result` breaks the invariants, one sentence each (empty: none):
// - it ended by itself, with no signal and no timeout;
// - its exit status is 0, 10 or 20;
// - standard error is whole lines, each beginning "quellix: ", except the C
//   library's own diagnostic for an unknown option, which begins with
//   argv[0] (`programName`): "PROGRAM: invalid option -- 'C'";
// - standard output, when not empty, ends with a newline;
// - when the usage text is on standard output, it is the last thing there.
std::vector<std::string> invariantViolations(const RunResult& result, const std::string& programName);
