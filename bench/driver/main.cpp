// quellix-bench: measures the floor of this machine and the quellix
// commands against real platforms of growing size, and prints one report
// (written to --out as well).
//
//   quellix-bench [--bin DIR] [--sizes N,N,...] [--reps R] [--ops K]
//                 [--micro PATH] [--out FILE]
//
// It enters a network namespace of its own first, so its service
// managers never meet another.
#include "Commands.h"
#include "Floor.h"
#include "PrivateNetwork.h"
#include "Report.h"
#include "Spawn.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Options {
    BenchOptions bench;
    std::vector<size_t> sizes{10, 100, 1000, 10000, 100000};
    std::string micro;
    std::string out;
};

void usage()
{
    std::fputs("usage: quellix-bench [--bin DIR] [--sizes N,N,...] [--reps R] [--ops K] "
               "[--micro PATH] [--out FILE]\n",
               stderr);
}

bool parseCount(const char* text, size_t* value)
{
    char* end = nullptr;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || n == 0 || n > 1000000)
        return false;
    *value = size_t(n);
    return true;
}

bool parseSizes(const char* text, std::vector<size_t>* sizes)
{
    sizes->clear();
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        size_t n;
        if (!parseCount(item.c_str(), &n))
            return false;
        sizes->push_back(n);
    }
    return !sizes->empty();
}

bool parseOptions(int argc, char** argv, Options* options)
{
    options->bench.binDir = ownDirectory();
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* value = argv[i + 1];
        bool ok = true;
        if (option == "--bin")
            options->bench.binDir = value;
        else if (option == "--sizes")
            ok = parseSizes(value, &options->sizes);
        else if (option == "--reps")
            ok = parseCount(value, &options->bench.reps);
        else if (option == "--ops")
            ok = parseCount(value, &options->bench.ops);
        else if (option == "--micro")
            options->micro = value;
        else if (option == "--out")
            options->out = value;
        else
            ok = false;
        if (!ok)
            return false;
    }
    return true;
}

std::string describeMachine()
{
    std::string cpu = "unknown CPU";
    if (FILE* file = std::fopen("/proc/cpuinfo", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, file)) {
            if (std::strncmp(line, "model name", 10) == 0 && std::strchr(line, ':')) {
                cpu = std::strchr(line, ':') + 2;
                cpu.erase(cpu.find_last_not_of("\n ") + 1);
                break;
            }
        }
        std::fclose(file);
    }
    utsname system{};
    uname(&system);
    char date[32] = "";
    time_t now = ::time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
    return std::string("Measured ") + date + " on " + cpu + ", " +
           std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " + system.release + ".";
}

// quellix with nothing listening at the address: its start-up, one failed
// connect and its exit, interleaved with the floor program.
bool measureStartup(const BenchOptions& options, Spawner& spawner, BenchResults* results,
                    std::string* error)
{
    const std::vector<std::string> floor{options.binDir + "/bench-true"};
    const std::vector<std::string> quellix{options.binDir + "/quellix", "list"};
    for (size_t r = 0; r < options.reps; ++r) {
        RunResult a, b;
        if (!spawner.run(floor, &a) || a.exitStatus != 0 || !spawner.run(quellix, &b) ||
            b.exitStatus != 20) {
            *error = "bench-true or quellix without a service manager did not exit as expected";
            return false;
        }
        results->exec.add(double(a.ns));
        results->startup.add(double(b.ns));
    }
    return true;
}

// Runs the Google Benchmark binary with its table reporter: one line per
// benchmark, "NAME<TAB>MEDIAN_NS<TAB>MIN_NS".
bool runMicro(const std::string& path, std::vector<MicroResult>* micro, std::string* error)
{
    std::string out;
    RunResult result;
    if (!runCaptured({path, "--table", "--benchmark_min_time=0.2", "--benchmark_repetitions=5"},
                     &out, &result) ||
        result.exitStatus != 0) {
        *error = path + " failed (exit status " + std::to_string(result.exitStatus) + ")";
        return false;
    }
    std::stringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        MicroResult m;
        char name[256];
        if (std::sscanf(line.c_str(), "%255[^\t]\t%lf\t%lf", name, &m.medianNs, &m.minNs) != 3) {
            *error = "unexpected line from " + path + ": " + line;
            return false;
        }
        m.name = name;
        micro->push_back(m);
    }
    if (micro->empty()) {
        *error = path + " reported no benchmark";
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "we");
    if (!file)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

bool run(const Options& options, BenchResults* results, std::string* error)
{
    const BenchOptions& bench = options.bench;
    Spawner spawner;
    if (!spawner.start(bench.binDir)) {
        *error = "cannot start bench-spawn";
        return false;
    }
    std::fputs("quellix-bench: floor\n", stderr);
    if (!measureConnect(bench.ops, &results->connect, error) ||
        !measureStartup(bench, spawner, results, error))
        return false;
    for (size_t services : options.sizes) {
        std::fprintf(stderr, "quellix-bench: %zu services\n", services);
        results->sizes.emplace_back();
        if (!measureSize(bench, spawner, services, &results->sizes.back(), error))
            return false;
    }
    if (!options.micro.empty()) {
        std::fputs("quellix-bench: micro-benchmarks\n", stderr);
        if (!runMicro(options.micro, &results->micro, error))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage();
        return 2;
    }
    if (!enterPrivateNetwork()) {
        std::perror("quellix-bench: cannot enter a private network namespace (unshare)");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);

    BenchResults results;
    results.machine = describeMachine();
    std::string error;
    if (!run(options, &results, &error)) {
        std::fprintf(stderr, "quellix-bench: %s\n", error.c_str());
        return 1;
    }
    std::string report = renderReport(results);
    std::fputs(report.c_str(), stdout);
    if (!options.out.empty() && !writeFile(options.out, report)) {
        std::fprintf(stderr, "quellix-bench: cannot write %s\n", options.out.c_str());
        return 1;
    }
    return 0;
}
