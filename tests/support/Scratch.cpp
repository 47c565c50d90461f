#include "Scratch.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> sorted(std::vector<std::string> files)
{
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

const std::vector<std::string> kRuntimeFiles = sorted({
    "bin/quellix",
    "bin/service-host",
    "lib/systemd/system/quellix-service-manager.service",
    "lib/systemd/system/quellix-service-manager.socket",
    "sbin/service-manager",
    "share/bash-completion/completions/quellix",
    "share/doc/quellix/README.md",
    "share/doc/quellix/changelog.gz",
    "share/doc/quellix/copyright",
    "share/lintian/overrides/quellix",
    "share/man/man1/quellix.1.gz",
    "share/man/man1/service-host.1.gz",
    "share/man/man8/service-manager.8.gz",
});

const std::vector<std::string> kDevelopmentFiles = sorted({
    "include/quellix/Credentials.h",
    "include/quellix/IBinder.h",
    "include/quellix/LocalService.h",
    "include/quellix/Names.h",
    "include/quellix/Parcel.h",
    "include/quellix/ProtocolVersion.h",
    "include/quellix/RefBase.h",
    "include/quellix/ServiceHost.h",
    "include/quellix/ServiceManager.h",
    "include/quellix/Status.h",
    "include/quellix/String16.h",
    "include/quellix/String8.h",
    "include/quellix/TextOutput.h",
    "include/quellix/Vector.h",
    QUELLIX_LIBDIR "/cmake/QuellixPlatform/QuellixPlatformConfig.cmake",
    QUELLIX_LIBDIR "/cmake/QuellixPlatform/QuellixPlatformConfigVersion.cmake",
    QUELLIX_LIBDIR "/cmake/QuellixPlatform/QuellixPlatformTargets-" QUELLIX_BUILD_TYPE ".cmake",
    QUELLIX_LIBDIR "/cmake/QuellixPlatform/QuellixPlatformTargets.cmake",
    QUELLIX_LIBDIR "/libquellix-platform.a",
    QUELLIX_LIBDIR "/libquellix-platform.so",
    QUELLIX_LIBDIR "/pkgconfig/quellix-platform.pc",
    "share/doc/quellix-dev/changelog.gz",
    "share/doc/quellix-dev/copyright",
    "share/doc/quellix-dev/examples/CMakeLists.txt",
    "share/doc/quellix-dev/examples/README.md",
    "share/doc/quellix-dev/examples/counter.cpp",
    "share/doc/quellix-dev/writing-a-service.md",
});

const std::vector<std::string> kLibraryFiles = sorted({
    QUELLIX_LIBDIR "/libquellix-platform.so.0",
    QUELLIX_LIBDIR "/libquellix-platform.so." QUELLIX_VERSION,
    "share/doc/libquellix-platform0/changelog.gz",
    "share/doc/libquellix-platform0/copyright",
    "share/lintian/overrides/libquellix-platform0",
});

namespace {

std::vector<std::string> merged(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    return a;
}

} // namespace

const std::vector<std::string> kInstalledFiles = merged(merged(kRuntimeFiles, kDevelopmentFiles), kLibraryFiles);

ScratchDir::ScratchDir()
{
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "quellix-test-XXXXXX").string();
    if (error)
        return;
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

std::vector<std::string> listFiles(const std::string& root)
{
    std::vector<std::string> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file() || it->is_symlink())
            files.push_back(it->path().lexically_relative(root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool isExecutable(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

std::string sourcePath(const std::string& relative) { return std::string(QUELLIX_SOURCE_DIR) + "/" + relative; }
