#include "TestPlatform.h"

const char kUsageText[] = "Usage: quellix [-h|-?]\n"
                          "       quellix list\n"
                          "       quellix check SERVICE\n"
                          "       quellix call SERVICE CODE [i32 INT | s16 STR] ...\n"
                          "Options:\n"
                          "   i32: Write the integer INT into the send parcel.\n"
                          "   s16: Write the UTF-16 string STR into the send parcel.\n";

bool TestPlatform::startManager() { return manager_.start(binaryPath("service-manager"), {}); }

bool TestPlatform::startHost(const std::vector<std::string>& args, size_t* index)
{
    Daemon host;
    if (!host.start(binaryPath("service-host"), args, 30s))
        return false;
    hosts_.push_back(std::move(host));
    if (index)
        *index = hosts_.size() - 1;
    return true;
}

RunResult TestPlatform::quellix(const std::vector<std::string>& args,
                                const std::vector<std::string>& environment)
{
    return runProgram(binaryPath("quellix"), args, 60s, environment);
}
