#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ratio.h"

namespace bench {
namespace {

std::vector<Comparison> &Comparisons()
{
    static std::vector<Comparison> all;
    return all;
}

// Console output as usual, and each benchmark's time per iteration kept
// under its function name and arguments ("BM_MD5String/64"; options such as
// a minimum time left off).
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                // With repetitions, the fastest one: the least disturbed.
                const double t = run.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(run.time_unit);
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty())
                    name += "/" + run.run_name.args;
                Keep(name, t);
                // Benchmarks that time two sides themselves publish each
                // side's seconds per operation as a counter "NAME_s", and
                // those that count bytes each side's bytes as "NAME_B", kept
                // as "BM_Function[/args]:NAME_s".
                for (const auto &[counterName, counter] : run.counters)
                    if (counterName.size() > 2 && (counterName.compare(counterName.size() - 2, 2, "_s") == 0 ||
                                                   counterName.compare(counterName.size() - 2, 2, "_B") == 0))
                        Keep(name + ":" + counterName, counter.value);
            }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;

private:
    void Keep(const std::string &key, double t)
    {
        const auto [it, added] = seconds.emplace(key, t);
        if (!added && t < it->second)
            it->second = t;
    }
};

}  // namespace

bool Compare(Comparison comparison)
{
    Comparisons().push_back(std::move(comparison));
    return true;
}

std::vector<std::string> &Notes()
{
    static std::vector<std::string> all;
    return all;
}

std::vector<std::string> &Faults()
{
    static std::vector<std::string> all;
    return all;
}

void Note(std::string line)
{
    Notes().push_back(std::move(line));
}

void Fail(std::string why)
{
    Faults().push_back(std::move(why));
}

}  // namespace bench

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    bench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nratios against the reference, measured in this run:\n");
    int missed = 0;
    for (const bench::Comparison &c : bench::Comparisons()) {
        const auto ours = reporter.seconds.find(c.ours);
        const auto reference = reporter.seconds.find(c.reference);
        if (ours == reporter.seconds.end() || reference == reporter.seconds.end()) {
            std::printf("  %-44s not measured in this run\n", c.what.c_str());
            continue;  // filtered out
        }
        const bool faster = c.goal == bench::Goal::Faster;
        const double ratio = faster ? reference->second / ours->second : ours->second / reference->second;
        const bool met = faster ? ratio >= c.target : ratio <= c.target;
        missed += !met && c.counts;
        std::printf("  %-44s %6.2fx %s (%s %s %.2fx)\n", c.what.c_str(), ratio,
                    faster ? "the reference's speed" : "the reference's cost", c.counts ? "target" : "goal",
                    faster ? ">=" : "<=", c.target);
        if (!met)
            std::printf(c.counts ? "    ^ below target\n" : "    ^ short of the goal\n");
    }
    if (!bench::Notes().empty()) {
        std::printf("\nderived from this run:\n");
        for (const std::string &line : bench::Notes()) std::printf("  %s\n", line.c_str());
    }
    for (const std::string &why : bench::Faults()) std::printf("\nFAILED: %s\n", why.c_str());
    return missed == 0 && bench::Faults().empty() ? 0 : 1;
}
