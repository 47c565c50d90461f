/* bench-spawn: starts and times programs for quellix-bench. A forked
   child's peak resident memory (ru_maxrss) includes what it had before
   exec, a copy of its parent; this process stays small, so the peaks it
   reports are the programs' own, whatever the size of the benchmark.

   Requests on standard input: a 32-bit length, then that many bytes of
   NUL-terminated arguments (the program's path first). For each it runs
   the program with an empty environment, standard input, output and error
   on /dev/null, and writes on standard output a 64-bit time in
   nanoseconds from just before fork to the end of wait4, the 64-bit peak
   resident memory in KiB, and a 32-bit exit status (-1 when a signal
   ended it, -2 when it could not be started). Ends at end of input. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxRequest = 1 << 20, kMaxArgs = 4096, kRunLimitSeconds = 300 };

static int readFull(int fd, void* bytes, size_t size)
{
    char* p = bytes;
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        size -= (size_t)n;
    }
    return 1;
}

static int writeFull(int fd, const void* bytes, size_t size)
{
    const char* p = bytes;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        size -= (size_t)n;
    }
    return 1;
}

static int64_t nowNs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void run(char** argv, int null, int64_t reply[2], int32_t* status)
{
    char* noEnvironment[] = {NULL};
    struct rusage usage;
    int wstatus = 0;
    int64_t start = nowNs();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        alarm(kRunLimitSeconds);
        execve(argv[0], argv, noEnvironment);
        _exit(127);
    }
    pid_t done = -1;
    if (pid > 0) {
        do
            done = wait4(pid, &wstatus, 0, &usage);
        while (done < 0 && errno == EINTR);
    }
    reply[0] = nowNs() - start;
    reply[1] = done == pid ? usage.ru_maxrss : 0;
    if (done != pid)
        *status = -2;
    else
        *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

int main(void)
{
    static char request[kMaxRequest + 1];
    static char* argv[kMaxArgs + 1];
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return 1;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    uint32_t length;
    while (readFull(0, &length, sizeof length)) {
        if (length == 0 || length > kMaxRequest || !readFull(0, request, length))
            return 1;
        request[length] = '\0';
        size_t count = 0;
        for (size_t at = 0; at < length && count < kMaxArgs; at += strlen(request + at) + 1)
            argv[count++] = request + at;
        argv[count] = NULL;
        int64_t reply[2];
        int32_t status;
        run(argv, null, reply, &status);
        if (!writeFull(1, reply, sizeof reply) || !writeFull(1, &status, sizeof status))
            return 1;
    }
    return 0;
}
