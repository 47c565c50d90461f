// Feeds inputs to a fuzz target's entry function once each, without
// libFuzzer, so that any compiler builds it: every file named on the
// command line, and every file in each directory named there, in name
// order. The test run replays each target's seed corpus with it, so that a
// seed that no longer passes fails a plain test run. A failed property
// aborts as it does under libFuzzer; the last input named on standard
// output is the one that failed.
//
// Usage: TARGET_replay FILE|DIRECTORY...
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// A target may define it, as libFuzzer allows; it runs once, first.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// Reads the whole file; false, with errno set, when it cannot.
bool readFile(const std::string& path, std::vector<uint8_t>* bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t chunk[64 * 1024];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int failure = errno;
            close(fd);
            errno = failure;
            return false;
        }
        if (n == 0)
            break;
        bytes->insert(bytes->end(), chunk, chunk + n);
    }
    return close(fd) == 0;
}

// Adds `path` to `files`, or, for a directory, every entry in it but "."
// and "..", sorted by name. False, with errno set, when it cannot.
bool collect(const std::string& path, std::vector<std::string>* files)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return false;
    if (!S_ISDIR(status.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr)
        return false;
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr)
            break;
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    int failure = errno;
    if (closedir(directory) != 0 && failure == 0)
        failure = errno;
    if (failure != 0) {
        errno = failure;
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        files->push_back(path + "/" + name);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string program = argv[0];
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|DIRECTORY...\n", program.c_str());
        return 2;
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], &files)) {
            std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), argv[i], std::strerror(errno));
            return 1;
        }
    }
    // Replaying nothing would pass whatever the target does.
    if (files.empty()) {
        std::fprintf(stderr, "%s: no inputs\n", program.c_str());
        return 1;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);

    for (const std::string& file : files) {
        std::vector<uint8_t> bytes;
        if (!readFile(file, &bytes)) {
            std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), file.c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("%s (%zu bytes)\n", file.c_str(), bytes.size());
        std::fflush(stdout);
        // A buffer of exactly the input's size, as libFuzzer passes it, so
        // that the sanitizers catch a read past its end.
        std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
        if (!bytes.empty())
            std::memcpy(input.get(), bytes.data(), bytes.size());
        LLVMFuzzerTestOneInput(input.get(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
