// Generated command lines for quellix: the words of its grammar mixed with
// service names, numbers, empty and long strings, invalid UTF-8, runs of
// '=' and random bytes. Each line comes from its own seed, so that any one
// line can be made again from the run's seed and its index.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// Arguments hold any byte but NUL (which argv cannot carry) and newline:
// quellix echoes a command word or a service name unchanged in its
// messages, so a newline in one would split a message line in two.
class CommandLineGenerator {
public:
    // `services`: names that a line may call or check (registered or not).
    CommandLineGenerator(uint64_t seed, std::vector<std::string> services);

    // The arguments after argv[0] of line number `index`.
    std::vector<std::string> line(uint64_t index);

    // The longest generated argument, in bytes.
    static constexpr size_t kLongest = 100 * 1024;

private:
    std::string word(std::mt19937_64& random, bool* longUsed);
    std::string operand(std::mt19937_64& random, bool* longUsed);
    // Typed arguments after "call SERVICE CODE", now and then a stray word.
    void callArguments(std::mt19937_64& random, bool* longUsed, std::vector<std::string>* args);

    uint64_t seed_;
    std::vector<std::string> services_;
};

// A command line shown in a failure message: each argument in double
// quotes with non-printable bytes as \xHH, long ones cut short.
std::string describe(const std::vector<std::string>& args);
