// bench_ratios.h
//
// The ending every benchmark here shares: a console reporter that keeps each run's time and,
// once all have run, prints each measured time as a ratio of its baseline from the same run.
// Each benchmark says which run is whose baseline through a function from a run's name to its
// baseline's name.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace qvrbench {

// Maps a run's name to the name of the run it is measured against; "" when it has none.
using BaselineNameOf = std::string (*)(const std::string &name);

// `name` with its segment `measured` replaced by `baseline`, or "" when `name` has no such
// segment: ReplaceSegment("Take/locked/64", "/locked/", "/baseline/") is "Take/baseline/64".
inline std::string ReplaceSegment(const std::string &name, const std::string &measured,
                                  const std::string &baseline)
{
    const std::size_t at = name.find(measured);
    if (at == std::string::npos) {
        return std::string();
    }
    std::string result = name;
    result.replace(at, measured.size(), baseline);
    return result;
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(BaselineNameOf baselineOf) : baselineOf_(baselineOf) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            // In seconds, so that runs reported in different time units still compare.
            times_[run.benchmark_name()] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        for (const auto &[name, time] : times_) {
            const std::string baselineName = baselineOf_(name);
            if (baselineName.empty() || baselineName == name) {
                continue;
            }
            const auto baseline = times_.find(baselineName);
            if (baseline != times_.end() && baseline->second > 0) {
                std::printf("ratio %-44s %.2f x %s\n", name.c_str(), time / baseline->second, baselineName.c_str());
            }
        }
    }

private:
    BaselineNameOf baselineOf_;
    std::map<std::string, double> times_;
};

// The body of a benchmark's main: runs what the command line selects, then the ratios.
inline int RunWithRatios(int argc, char **argv, BaselineNameOf baselineOf)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(baselineOf);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

}  // namespace qvrbench
