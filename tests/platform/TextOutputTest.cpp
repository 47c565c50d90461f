#include <quellix/TextOutput.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Points fds 1 and 2 at one pipe while `body` runs, then returns what
// arrived there.
template <typename Body>
std::string captureOutput(Body body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const int savedOut = dup(1);
    const int savedErr = dup(2);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[1]);

    body();

    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(n));
    close(fds[0]);
    return text;
}

TEST(TextOutputTest, DecimalLimits)
{
    std::string text = captureOutput([] {
        aout << INT_MIN << " " << INT_MAX << " " << 0 << " " << UINT_MAX << " "
             << static_cast<const char*>(nullptr) << "end";
        aout.flush();
    });
    EXPECT_EQ(text, "-2147483648 2147483647 0 4294967295 end");
}

TEST(TextOutputTest, ErrorOutputComesAfterPendingOutput)
{
    std::string text = captureOutput([] {
        aout << "out ";
        aerr << "err" << endl;
        aout << "more";
        aerr << "partial ";
        aout.flush();
        aerr << "line" << endl;
    });
    EXPECT_EQ(text, "out err\nmorepartial line\n");
}

TEST(TextOutputTest, FailedWriteDropsBufferedBytes)
{
    std::string text = captureOutput([] {
        const int saved = dup(1);
        close(1);
        aout << "lost";
        aout.flush();
        dup2(saved, 1);
        close(saved);
        aout << "kept";
        aout.flush();
    });
    EXPECT_EQ(text, "kept");
    // The failure stays on record after later writes succeed.
    EXPECT_EQ(aout.error(), EBADF);
}

} // namespace
