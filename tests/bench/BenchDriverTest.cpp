// The benchmark driver at small sizes: it runs, and its table has every
// row with its figures. No time is judged here.
#include "Process.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> cells(const std::string& row)
{
    std::vector<std::string> result;
    std::stringstream in(row.substr(1));
    std::string cell;
    while (std::getline(in, cell, '|')) {
        size_t first = cell.find_first_not_of(' ');
        size_t last = cell.find_last_not_of(' ');
        result.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return result;
}

// The rows of the report's table, header and rule excluded.
std::vector<std::vector<std::string>> tableRows(const std::string& report)
{
    std::vector<std::vector<std::string>> rows;
    std::stringstream lines(report);
    std::string line;
    int seen = 0;
    while (std::getline(lines, line))
        if (line.rfind("| ", 0) == 0 || line.rfind("|-", 0) == 0)
            if (++seen > 2)
                rows.push_back(cells(line));
    return rows;
}

const std::vector<std::string>* findRow(const std::vector<std::vector<std::string>>& rows,
                                        const std::string& figurePrefix, const std::string& services)
{
    for (const auto& row : rows)
        if (row.size() == 8 && row[0].rfind(figurePrefix, 0) == 0 && row[1] == services)
            return &row;
    return nullptr;
}

struct Expected {
    const char* figure;   // the start of the figure cell
    const char* services; // the N cell
    bool timed;           // has median and minimum
    bool modelled;        // has a floor model and a ratio
    bool perService;
    bool memory;
};

TEST(BenchDriver, PrintsTheWholeTableAtSmallSizes)
{
    RunResult run = runProgram(binaryPath("quellix-bench"),
                               {"--sizes", "10,1000", "--reps", "3", "--ops", "200"}, 300s);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    const Expected expected[] = {
        {"floor: exec", "", true, false, false, false},
        {"floor: round trip", "", true, false, false, false},
        {"floor: socket + connect", "", true, false, false, false},
        {"floor: look-up", "", true, false, false, false},
        {"`quellix list`, no service manager", "", true, true, false, false},
        {"floor: exec", "10", true, false, false, false},
        {"floor: round trip", "10", true, false, false, false},
        {"floor: look-up", "10", true, false, false, false},
        {"`quellix check NAME`", "10", true, true, false, true},
        {"`quellix call NAME", "10", true, true, false, true},
        {"`quellix list`", "10", true, true, true, true},
        {"lookupService", "10", true, true, false, false},
        {"interface-name query", "10", true, true, false, false},
        {"service-manager", "10", false, false, false, true},
        {"floor: exec", "1,000", true, false, false, false},
        {"floor: round trip", "1,000", true, false, false, false},
        {"floor: look-up", "1,000", true, false, false, false},
        {"`quellix check NAME`", "1,000", true, true, false, true},
        {"`quellix call NAME", "1,000", true, true, false, true},
        {"`quellix list`", "1,000", true, true, true, true},
        {"lookupService", "1,000", true, true, false, false},
        {"interface-name query", "1,000", true, true, false, false},
        {"service-manager", "1,000", false, false, false, true},
    };
    const auto rows = tableRows(run.out);
    EXPECT_EQ(rows.size(), std::size(expected));
    for (const Expected& e : expected) {
        SCOPED_TRACE(std::string(e.figure) + " at N = " + e.services);
        const std::vector<std::string>* row = findRow(rows, e.figure, e.services);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ((*row)[2].empty(), !e.timed);
        EXPECT_EQ((*row)[3].empty(), !e.timed);
        EXPECT_EQ((*row)[4].empty(), !e.modelled);
        EXPECT_EQ((*row)[5].empty(), !e.modelled);
        EXPECT_EQ((*row)[6].empty(), !e.perService);
        EXPECT_EQ((*row)[7].empty(), !e.memory);
    }
    EXPECT_NE(run.out.find("Targets"), std::string::npos);
}

TEST(BenchDriver, RefusesAnUnknownOption)
{
    RunResult run = runProgram(binaryPath("quellix-bench"), {"--sizes", "ten"}, 30s);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("usage: quellix-bench"), std::string::npos);
}

} // namespace
