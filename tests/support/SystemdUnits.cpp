#include "SystemdUnits.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Copies what the units need of this system into `root`; false when a
// copy fails.
bool addSystem(const std::string& root)
{
    std::error_code error;
    const std::string targets = root + "/lib/systemd/system/";
    if (!fs::create_directories(targets, error) && error)
        return false;
    if (!fs::create_directories(root + "/bin", error) && error)
        return false;
    for (fs::directory_iterator it("/lib/systemd/system", error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() == ".target" &&
            !fs::copy_file(it->path(), targets + it->path().filename().string(), fs::copy_options::skip_existing,
                           error) &&
            error)
            return false;
    }
    if (error)
        return false;
    return fs::copy_file("/bin/kill", root + "/bin/kill", fs::copy_options::skip_existing, error) || !error;
}

} // namespace

RunResult verifyUnits(const std::string& root, const std::string& unitDir)
{
    if (!addSystem(root))
        return RunResult{"", "cannot copy this system's targets and kill into " + root + "\n"};
    const std::string units = root + "/" + unitDir + "/quellix-service-manager";
    return runProgram("/usr/bin/systemd-analyze", {"verify", "--root=" + root, units + ".socket", units + ".service"},
                      30s, {"MANPATH=" + root + "/usr/share/man"});
}
