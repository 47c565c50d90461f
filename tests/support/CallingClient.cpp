#include "CallingClient.h"

#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Counts {
    size_t calls = 0;
    size_t failed = 0;
};

bool readAll(int fd, void* bytes, size_t size, int timeoutMs)
{
    auto* at = static_cast<char*>(bytes);
    while (size > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0)
            return false;
        ssize_t n = read(fd, at, size);
        if (n <= 0)
            return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

// The child: never returns. Another client's children may hold copies of
// this one's pipes, so it is stopped by a byte, not by an end of file.
[[noreturn]] void callUntilStopped(const std::vector<std::string>& names, int control, int report)
{
    std::vector<sp<IBinder>> services;
    if (sp<ServiceManager> manager = defaultServiceManager())
        for (const std::string& name : names)
            if (sp<IBinder> service = manager->lookupService(String16(name.c_str())))
                services.push_back(service);
    if (services.size() != names.size() || write(report, "r", 1) != 1)
        _exit(1);
    Counts counts;
    for (int32_t round = 0;; ++round) {
        for (const sp<IBinder>& service : services) {
            Parcel data, reply;
            data.writeInt32(round);
            status_t status = service->sendTransaction(1, data, &reply, 0);
            ++counts.calls;
            counts.failed += status != kStatusOk || reply.dataSize() != data.dataSize() ||
                             std::memcmp(reply.data(), data.data(), data.dataSize()) != 0;
        }
        pollfd stop{control, POLLIN, 0};
        if (poll(&stop, 1, 0) != 0)
            break;
    }
    _exit(write(report, &counts, sizeof counts) == ssize_t(sizeof counts) ? 0 : 1);
}

} // namespace

CallingClient::~CallingClient()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {control_, report_})
        if (fd >= 0)
            close(fd);
}

bool CallingClient::start(const std::vector<std::string>& names)
{
    int control[2], report[2];
    if (pipe2(control, O_CLOEXEC) < 0)
        return false;
    if (pipe2(report, O_CLOEXEC) < 0) {
        close(control[0]);
        close(control[1]);
        return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(control[1]);
        close(report[0]);
        callUntilStopped(names, control[0], report[1]);
    }
    close(control[0]);
    close(report[1]);
    control_ = control[1];
    report_ = report[0];
    char ready = 0;
    return pid_ > 0 && readAll(report_, &ready, 1, 10000) && ready == 'r';
}

bool CallingClient::stop(size_t* calls, size_t* failed)
{
    Counts counts;
    bool said = pid_ > 0 && write(control_, "s", 1) == 1 && readAll(report_, &counts, sizeof counts, 10000);
    if (pid_ > 0) {
        if (!said)
            kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    *calls = counts.calls;
    *failed = counts.failed;
    return said;
}
