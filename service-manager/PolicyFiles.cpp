#include "PolicyFiles.h"

#include <quellix/Names.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far beyond any list of grants; a bound on what a stray file may cost.
constexpr size_t kMaxFileBytes = 1 << 20;

const char kExpected[] = "expected 'allow USER name NAME' or 'allow USER prefix PREFIX'";

std::string failure(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool isPolicyFile(const std::string& name)
{
    return name[0] != '.' && name.ends_with(".conf");
}

// Adds the policy files of `directory` that no earlier directory had to
// `files` (by file name), or says why it cannot be listed.
void listDirectory(const std::string& directory, std::map<std::string, std::string>* files, PolicyRead* read)
{
    DIR* dir = opendir(directory.c_str());
    if (!dir) {
        if (errno != ENOENT)
            read->errors.push_back(failure(directory, errno));
        return;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry)
            break;
        if (isPolicyFile(entry->d_name))
            files->try_emplace(entry->d_name, directory + (directory.ends_with('/') ? "" : "/") + entry->d_name);
    }
    const int error = errno;
    closedir(dir);
    if (error != 0)
        read->errors.push_back(failure(directory, error));
}

// The whole of a regular file at `path`, or nothing for any other kind;
// false with `*problem` set when it cannot be read.
bool readWhole(const std::string& path, std::string* text, std::string* problem)
{
    // Not blocking, so that a FIFO cannot stall the manager.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) < 0) {
        *problem = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    char buffer[8192];
    while (S_ISREG(status.st_mode) && problem->empty()) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno != EINTR)
                *problem = std::strerror(errno);
            continue;
        }
        text->append(buffer, size_t(got));
        if (text->size() > kMaxFileBytes)
            *problem = "larger than 1 MiB";
    }
    close(fd);
    return problem->empty();
}

// The uid of `user`, a decimal uid or a user name. False with `*problem`
// set when the line is bad, or with it empty when no user has the name.
bool resolveUser(const std::string& user, uid_t* uid, std::string* problem)
{
    if (user.find_first_not_of("0123456789") == std::string::npos) {
        unsigned value;
        auto [end, error] = std::from_chars(user.data(), user.data() + user.size(), value);
        if (error != std::errc() || end != user.data() + user.size() || value == UINT32_MAX) {
            *problem = "bad uid '" + user + "'";
            return false;
        }
        *uid = uid_t(value);
        return true;
    }
    std::vector<char> buffer(1024);
    for (;;) {
        passwd entry, *found = nullptr;
        int error = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0) {
            *problem = failure("cannot look up user '" + user + "'", error);
            return false;
        }
        if (found)
            *uid = found->pw_uid;
        return found != nullptr;
    }
}

// Applies one line, found at `where` ("PATH:LINE"); false after saying
// what is wrong with it.
bool parseLine(const std::string& where, const std::string& line, PolicyRead* read)
{
    std::vector<std::string> fields;
    for (size_t at = line.find_first_not_of(" \t"); at != std::string::npos;
         at = line.find_first_not_of(" \t", at)) {
        size_t end = line.find_first_of(" \t", at);
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    if (fields.empty() || fields[0][0] == '#')
        return true;
    for (unsigned char byte : line) {
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            char problem[64];
            std::snprintf(problem, sizeof problem, ": a control character (byte 0x%02x) in the line", byte);
            read->errors.push_back(where + problem);
            return false;
        }
    }
    if (fields.size() != 4 || fields[0] != "allow" || (fields[2] != "name" && fields[2] != "prefix")) {
        read->errors.push_back(where + ": " + kExpected);
        return false;
    }
    const String16 name(fields[3].c_str());
    if (name.size() > kMaxServiceNameUnits) {
        read->errors.push_back(where + ": " + fields[2] + " longer than " + std::to_string(kMaxServiceNameUnits) +
                               " UTF-16 units");
        return false;
    }
    uid_t uid;
    std::string problem;
    if (!resolveUser(fields[1], &uid, &problem)) {
        if (!problem.empty()) {
            read->errors.push_back(where + ": " + problem);
            return false;
        }
        read->warnings.push_back(where + ": no user '" + fields[1] + "'; the line is skipped");
        return true;
    }
    if (fields[2] == "name")
        read->grants.allowName(uid, name);
    else
        read->grants.allowPrefix(uid, name);
    return true;
}

// Applies the lines of `path` up to the first bad one.
void parseFile(const std::string& path, const std::string& text, PolicyRead* read)
{
    size_t number = 1;
    for (size_t start = 0; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (!parseLine(path + ":" + std::to_string(number), text.substr(start, end - start), read))
            return;
        start = end + 1;
    }
}

} // namespace

bool readPolicyFiles(const std::vector<std::string>& directories, PolicyRead* read)
{
    std::map<std::string, std::string> files; // path by file name
    for (const std::string& directory : directories)
        listDirectory(directory, &files, read);
    for (const auto& [name, path] : files) {
        std::string text, problem;
        if (readWhole(path, &text, &problem))
            parseFile(path, text, read);
        else
            read->errors.push_back(path + ": " + problem);
        ++read->files;
    }
    return read->errors.empty();
}
