#include "Report.h"
#include "BenchPlatform.h"

#include <cstdio>

namespace {

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string time(double ns)
{
    if (ns < 1e3)
        return format("%.0f ns", ns);
    if (ns < 1e6)
        return format("%.1f µs", ns / 1e3);
    if (ns < 1e9)
        return format("%.2f ms", ns / 1e6);
    return format("%.2f s", ns / 1e9);
}

std::string memory(long kib) { return format("%.1f MiB", double(kib) / 1024); }

std::string count(size_t n)
{
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string ratio(double value) { return format("%.2f", value); }

struct Row {
    std::string figure, services, median, min, model, ratio, perService, memory;
};

std::string line(const Row& r)
{
    return "| " + r.figure + " | " + r.services + " | " + r.median + " | " + r.min + " | " +
           r.model + " | " + r.ratio + " | " + r.perService + " | " + r.memory + " |\n";
}

Row measured(std::string figure, const Samples& s)
{
    return {std::move(figure), "", time(s.median()), time(s.min()), "", "", "", ""};
}

Row modelled(std::string figure, size_t services, const Samples& s, const std::string& formula,
             double model)
{
    return {std::move(figure), count(services), time(s.median()), time(s.min()),
            formula + " = " + time(model), ratio(s.median() / model), "", ""};
}

// The floor figures the models are made of (medians).
struct Floor {
    double exec, roundTrip, lookup;

    explicit Floor(const SizeResult& s)
        : exec(s.floorExec.median()), roundTrip(s.floorRoundTrip.median()),
          lookup(s.floorLookup.median())
    {
    }
    double check() const { return exec + lookup; }
    double call() const { return exec + lookup + 2 * roundTrip; }
    double list(size_t services) const { return exec + double(services) * (lookup + roundTrip); }
};

// What list costs for each service above the start of a program.
double perService(const SizeResult& size)
{
    return (size.list.median() - size.floorExec.median()) / double(size.services);
}

const SizeResult* find(const BenchResults& results, size_t services)
{
    for (const SizeResult& s : results.sizes)
        if (s.services == services)
            return &s;
    return nullptr;
}

std::string verdict(bool met, const std::string& detail)
{
    return (met ? "met: " : "MISSED: ") + detail;
}

// The largest of `ratio(size)` over the sizes that `counts` admits.
template <typename Ratio, typename Counts>
std::string worst(const BenchResults& results, double limit, Ratio ratioOf, Counts counts)
{
    double worstRatio = 0;
    size_t at = 0;
    for (const SizeResult& s : results.sizes) {
        if (counts(s) && ratioOf(s) > worstRatio) {
            worstRatio = ratioOf(s);
            at = s.services;
        }
    }
    if (at == 0)
        return "not measured";
    return verdict(worstRatio <= limit, "worst " + ratio(worstRatio) + " at N = " + count(at));
}

std::string targets(const BenchResults& results)
{
    std::string text;
    auto item = [&](const std::string& target, const std::string& outcome) {
        text += "- " + target + ": " + outcome + "\n";
    };
    auto all = [](const SizeResult&) { return true; };
    item("check within 1.3 × (exec + look-up)",
         worst(results, 1.3, [](const SizeResult& s) { return s.check.median() / Floor(s).check(); }, all));
    item("call within 1.3 × (exec + look-up + 2 round trips)",
         worst(results, 1.3, [](const SizeResult& s) { return s.call.median() / Floor(s).call(); }, all));
    item("list per service within 1.5 × (look-up + round trip), N ≥ 1,000",
         worst(results, 1.5,
               [](const SizeResult& s) {
                   return perService(s) / (Floor(s).lookup + Floor(s).roundTrip);
               },
               [](const SizeResult& s) { return s.services >= 1000; }));

    const SizeResult* thousand = find(results, 1000);
    const SizeResult* largest = find(results, 100000);
    if (thousand && largest) {
        double growth = perService(*largest) / perService(*thousand);
        item("list linear: per service at 100,000 within 1.2 × at 1,000",
             verdict(growth <= 1.2, ratio(growth) + " ×"));
    } else {
        item("list linear: per service at 100,000 within 1.2 × at 1,000", "not measured");
    }
    if (largest) {
        item("quellix list at 100,000 under 32 MiB peak",
             verdict(largest->listRssKiB < 32 * 1024, memory(largest->listRssKiB)));
        item("service-manager with 100,000 names under 64 MiB",
             verdict(largest->managerKiB < 64 * 1024, memory(largest->managerKiB)));
    } else {
        item("quellix list at 100,000 under 32 MiB peak", "not measured");
        item("service-manager with 100,000 names under 64 MiB", "not measured");
    }
    if (results.sizes.size() >= 2) {
        const SizeResult& first = results.sizes.front();
        const SizeResult& last = results.sizes.back();
        double growth = last.lookup.median() / first.lookup.median();
        item("a look-up does not grow with the names (in-process, N = " + count(last.services) +
                 " within 1.2 × N = " + count(first.services) + ")",
             verdict(growth <= 1.2, ratio(growth) + " ×"));
    }
    item("quellix startup (no service manager) against exec + connect",
         ratio(results.startup.median() / (results.exec.median() + results.connect.median())) + " ×");
    return text;
}

} // namespace

std::string renderReport(const BenchResults& results)
{
    Samples exec = results.exec, roundTrip, lookup;
    for (const SizeResult& s : results.sizes) {
        exec.add(s.floorExec);
        roundTrip.add(s.floorRoundTrip);
        lookup.add(s.floorLookup);
    }
    std::string text =
        "# Performance\n\n"
        "Generated by `make bench` (bench/driver); do not edit by hand. " +
        results.machine +
        "\n\n"
        "Whole commands are timed from fork to the end of wait4 by a small static helper "
        "(bench-spawn, so that each peak memory is the program's own), output on /dev/null, "
        "against a real service-manager and service-host processes (at most " +
        count(BenchPlatform::kServicesPerHost) +
        " services each) in a private network namespace. Floor and in-process figures are "
        "timed op by op (in-process look-ups spread over 64 names of the first host). The floor is measured again beside the runs at each N, and the models "
        "of that N are made of those medians; the first rows pool the whole run. Median and "
        "minimum over all samples; a ratio divides the median by its floor model. Per service "
        "for list is (list − exec) / N. Peak memory: ru_maxrss of quellix (largest over its "
        "runs), VmHWM of service-manager after every run at that N.\n\n";
    text += line({"figure", "N", "median", "min", "floor model", "ratio", "per service", "peak memory"});
    text += "|---|--:|--:|--:|---|--:|--:|--:|\n";
    const char* kExec = "floor: exec of a static C program (fork+exec+wait)";
    const char* kRoundTrip = "floor: round trip over an AF_UNIX stream socket, two processes";
    const char* kLookup = "floor: look-up (request/reply, socketpair end passed by SCM_RIGHTS)";
    text += line(measured(kExec, exec));
    text += line(measured(kRoundTrip, roundTrip));
    text += line(measured("floor: socket + connect to an abstract Unix socket", results.connect));
    text += line(measured(kLookup, lookup));
    Row startup = modelled("`quellix list`, no service manager (startup, one failed connect)", 0,
                           results.startup, "exec + connect",
                           results.exec.median() + results.connect.median());
    startup.services = "";
    text += line(startup);
    for (const SizeResult& s : results.sizes) {
        const Floor floor(s);
        for (Row row : {measured(kExec, s.floorExec), measured(kRoundTrip, s.floorRoundTrip),
                        measured(kLookup, s.floorLookup)}) {
            row.services = count(s.services);
            text += line(row);
        }
        Row check = modelled("`quellix check NAME`", s.services, s.check, "exec + look-up", floor.check());
        check.memory = memory(s.checkRssKiB);
        Row call = modelled("`quellix call NAME 1 i32 7 s16 hello`", s.services, s.call,
                            "exec + look-up + 2 round trips", floor.call());
        call.memory = memory(s.callRssKiB);
        Row list = modelled("`quellix list`", s.services, s.list, "exec + N × (look-up + round trip)",
                            floor.list(s.services));
        list.perService = time(perService(s));
        list.memory = memory(s.listRssKiB);
        Row lookupRow = modelled("lookupService, in-process", s.services, s.lookup, "look-up",
                                 floor.lookup);
        Row transaction = modelled("interface-name query, in-process", s.services, s.transaction,
                                   "round trip", floor.roundTrip);
        Row manager{"service-manager", count(s.services), "", "", "", "", "", memory(s.managerKiB)};
        text += line(check) + line(call) + line(list) + line(lookupRow) + line(transaction) +
                line(manager);
    }
    for (const MicroResult& m : results.micro)
        text += line({"micro: " + m.name, "", time(m.medianNs), time(m.minNs), "", "", "", ""});
    text += "\nTargets (checked here, never in the tests):\n\n" + targets(results);
    return text;
}
