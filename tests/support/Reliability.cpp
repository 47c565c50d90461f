#include "Reliability.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool fullScale()
{
    const char* scale = std::getenv("QUELLIX_RELIABILITY_SCALE");
    return scale != nullptr && std::strcmp(scale, "full") == 0;
}

size_t scaled(size_t normal, size_t full) { return fullScale() ? full : normal; }

bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

std::string grouped(size_t value)
{
    std::string digits = std::to_string(value);
    std::string result;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            result += ',';
        result += digits[i];
    }
    return result;
}

void record(const ReportRow& row)
{
    for (const std::string* field : {&row.category, &row.what, &row.amount, &row.lost})
        EXPECT_EQ(field->find_first_of("|\n"), std::string::npos) << "a report field holds '|' or a newline";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", row.seconds);
    std::string line = "RELIABILITY|" + row.category + "|" + row.what + "|" + row.amount + "|" + row.lost +
                       "|" + seconds + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);

    const char* path = std::getenv("QUELLIX_RELIABILITY_RESULTS");
    if (path == nullptr || *path == '\0')
        return;
    // One write per row with O_APPEND: rows of tests that run at the same
    // time do not interleave.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << "cannot open " << path << ": " << std::strerror(errno);
    EXPECT_EQ(write(fd, line.data(), line.size()), ssize_t(line.size())) << std::strerror(errno);
    close(fd);
}
