// quellix-micro: the platform's micro-benchmarks. With --table it prints
// the lines quellix-bench reads instead of Google Benchmark's own report.
// Enters a network namespace of its own, where the transport benchmarks
// start their service manager and host.
#include "PrivateNetwork.h"
#include "TableReporter.h"
#include "TransportBench.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    bool table = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--table") == 0)
            table = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    if (!enterPrivateNetwork()) {
        std::perror("quellix-micro: cannot enter a private network namespace (unshare)");
        return 1;
    }
    std::string error;
    if (!startTransport(&error)) {
        std::fprintf(stderr, "quellix-micro: %s\n", error.c_str());
        return 1;
    }
    bool ok = true;
    if (table) {
        TableReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        ok = reporter.ok();
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    stopTransport();
    benchmark::Shutdown();
    return ok ? 0 : 1;
}
