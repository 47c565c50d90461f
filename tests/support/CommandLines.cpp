#include "CommandLines.h"

#include <cstdio>

namespace {

const std::vector<std::string> kGrammar = {
    "list",    "check", "call",         "i32",        "s16",        "null", "intent", "action=", "data=",
    "type=",   "launchFlags=", "component=", "categories=", "-h", "-?", "--", "-x",
};

const std::vector<std::string> kIntentKeys = {"action=", "data=", "type=", "launchFlags=", "component=", "categories="};

const std::vector<std::string> kOptions = {"-h", "-?", "--", "-x"};

const std::vector<std::string> kInvalidUtf8 = {
    "\x80",         "\xBF",         "\xC0\xAF",     "\xC3",             "\xE2\x82",   "\xED\xA0\x80",
    "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xFE\xFF", "\xFF", "\xC3\xA9\xFF",
};

// 0x01..0xFF but newline.
char randomByte(std::mt19937_64& random)
{
    for (;;) {
        char c = char(std::uniform_int_distribution<int>(1, 255)(random));
        if (c != '\n')
            return c;
    }
}

std::string randomBytes(std::mt19937_64& random, size_t length)
{
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i)
        text += randomByte(random);
    return text;
}

size_t below(std::mt19937_64& random, size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }

template <typename T>
const T& pick(std::mt19937_64& random, const std::vector<T>& from)
{
    return from[below(random, from.size())];
}

std::string number(std::mt19937_64& random)
{
    switch (below(random, 6)) {
    case 0:
        return std::to_string(int64_t(random()));        // beyond 32 bits
    case 1:
        return std::to_string(int32_t(random()));
    case 2:
        return std::string("-").append(std::to_string(below(random, 10)));
    case 3:
        return std::to_string(below(random, 3)) + randomBytes(random, 1 + below(random, 3));
    case 4:
        return std::string("0x").append(std::to_string(below(random, 100)));
    default:
        return std::to_string(below(random, 100));
    }
}

std::string equalsRun(std::mt19937_64& random)
{
    std::string run(1 + below(random, 8), '=');
    switch (below(random, 4)) {
    case 0:
        return run;
    case 1:
        return pick(random, kGrammar) + run;
    case 2:
        return run + randomBytes(random, 1 + below(random, 4));
    default:
        return "action" + run + "x" + run;
    }
}

} // namespace

CommandLineGenerator::CommandLineGenerator(uint64_t seed, std::vector<std::string> services)
    : seed_(seed), services_(std::move(services))
{
}

std::string CommandLineGenerator::operand(std::mt19937_64& random, bool* longUsed)
{
    switch (below(random, 20)) {
    case 0:
    case 1:
        return "";
    case 2:
    case 3:
        return pick(random, kInvalidUtf8) + randomBytes(random, below(random, 3));
    case 4:
    case 5:
        return equalsRun(random);
    case 6:
        // One long argument per line at most: the whole line stays well
        // below the kernel's limit on the size of argv.
        if (!*longUsed) {
            *longUsed = true;
            size_t length = 1 + below(random, kLongest);
            return below(random, 2) ? std::string(length, 'a' + char(below(random, 26))) : randomBytes(random, length);
        }
        [[fallthrough]];
    default:
        return randomBytes(random, 1 + below(random, 12));
    }
}

std::string CommandLineGenerator::word(std::mt19937_64& random, bool* longUsed)
{
    switch (below(random, 10)) {
    case 0:
    case 1:
    case 2:
        return pick(random, kGrammar);
    case 3:
        // A KEY= word of an intent with an operand after the '='.
        return pick(random, kGrammar) + operand(random, longUsed);
    case 4:
    case 5:
        return pick(random, services_);
    case 6:
        return number(random);
    default:
        return operand(random, longUsed);
    }
}

void CommandLineGenerator::callArguments(std::mt19937_64& random, bool* longUsed, std::vector<std::string>* args)
{
    size_t count = below(random, 6);
    for (size_t i = 0; i < count; ++i) {
        switch (below(random, 10)) {
        case 0:
        case 1:
        case 2:
            args->insert(args->end(), {"i32", below(random, 4) ? number(random) : operand(random, longUsed)});
            break;
        case 3:
        case 4:
        case 5:
            args->insert(args->end(), {"s16", operand(random, longUsed)});
            break;
        case 6:
            args->push_back("null");
            break;
        case 7:
        case 8: {
            args->push_back("intent");
            size_t pairs = below(random, 5);
            for (size_t p = 0; p < pairs; ++p) {
                std::string key = below(random, 5) ? pick(random, kIntentKeys) : operand(random, longUsed) + "=";
                args->push_back(below(random, 4) ? key + operand(random, longUsed) : equalsRun(random));
            }
            break;
        }
        default:
            // Anything, a dangling i32 or s16 included.
            args->push_back(word(random, longUsed));
            break;
        }
    }
}

std::vector<std::string> CommandLineGenerator::line(uint64_t index)
{
    std::seed_seq seeds{uint32_t(seed_), uint32_t(seed_ >> 32), uint32_t(index), uint32_t(index >> 32)};
    std::mt19937_64 random(seeds);
    bool longUsed = false;
    std::vector<std::string> args;
    // Most lines start the way a user would; the rest with any word.
    switch (below(random, 10)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
        args = {"call", pick(random, services_), number(random)};
        callArguments(random, &longUsed, &args);
        return args;
    case 5:
        args = {"check", pick(random, services_)};
        break;
    case 6:
        args = {pick(random, kOptions)};
        break;
    case 7:
        args = {std::string("-").append(randomBytes(random, 1 + below(random, 3)))};
        break;
    default:
        break;
    }
    size_t more = below(random, 8);
    for (size_t i = 0; i < more; ++i)
        args.push_back(word(random, &longUsed));
    return args;
}

std::string describe(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& arg : args) {
        text += text.empty() ? "\"" : " \"";
        size_t shown = arg.size() <= 80 ? arg.size() : 60;
        for (size_t i = 0; i < shown; ++i) {
            unsigned char c = static_cast<unsigned char>(arg[i]);
            if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
                text += char(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
                text += escaped;
            }
        }
        if (shown < arg.size())
            text += "...(" + std::to_string(arg.size()) + " bytes)";
        text += "\"";
    }
    return text;
}
