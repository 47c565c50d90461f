// Scratch directories, file listings, and the files an install consists
// of.
#pragma once

#include <string>
#include <vector>

// A fresh directory below the temporary directory, removed with all it
// holds when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

// The regular files below `root`, as sorted paths relative to it.
std::vector<std::string> listFiles(const std::string& root);

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

// Whether `path` is a file that its owner may run.
bool isExecutable(const std::string& path);

// The files of the two install components, each sorted: runtime (the
// programs and their documents) and development (the library, headers,
// pkg-config and CMake files, the example).
extern const std::vector<std::string> kRuntimeFiles;
extern const std::vector<std::string> kDevelopmentFiles;
// The shared library's package.
extern const std::vector<std::string> kLibraryFiles;
// Both: the files that an install puts below its prefix, sorted.
extern const std::vector<std::string> kInstalledFiles;

// A path in the source tree.
std::string sourcePath(const std::string& relative);
