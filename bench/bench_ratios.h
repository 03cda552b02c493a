// bench_ratios.h
//
// The ending every benchmark here shares: a console reporter that keeps each run's time and
// counters and, once all have run, prints each measured time (and each counter the baseline
// also has, such as p50_us) as a ratio of its baseline from the same run. Each benchmark
// says which run is whose baseline through a function from a run's name to its baseline's
// name; names are the runs' own, without the aggregate suffixes ("_median", "_cv", ...).
//
// With --benchmark_repetitions every repetition is one sample and the ratio is that of the
// medians; aggregate rows (mean, median, stddev, cv) are never read as samples, and with
// --benchmark_report_aggregates_only only the median rows are. Interleave the repetitions
// (--benchmark_enable_random_interleaving=true) so that the baseline and the measured run
// see the same machine load.
#pragma once

#include <benchmark/benchmark.h>
#include <winsim/verifier.h>

#include <algorithm>
#include <chrono>
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

// The median of the samples (the mean of the middle two for an even count); 0 when empty.
inline double Median(std::vector<double> samples)
{
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t half = samples.size() / 2;
    return samples.size() % 2 == 1 ? samples[half] : (samples[half - 1] + samples[half]) / 2;
}

// Each run's samples, by metric: "time" (seconds per iteration) and every user counter.
class SampleBook {
public:
    void Add(const benchmark::BenchmarkReporter::Run &run)
    {
        if (run.error_occurred) {
            return;
        }
        // The function and its arguments: not the segments that name the run's settings
        // ("/iterations:3000", "/manual_time", ...), which baselines need not share.
        const std::string name = run.run_name.args.empty() ? run.run_name.function_name
                                                           : run.run_name.function_name + "/" + run.run_name.args;
        const bool aggregate = run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate;
        if (aggregate && run.aggregate_name != "median") {
            return;
        }
        MetricSamples &metrics = aggregate ? medians_[name] : samples_[name];
        // In seconds, so that runs reported in different time units still compare.
        metrics["time"].push_back(run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit));
        for (const auto &[counter, value] : run.counters) {
            metrics[counter].push_back(value.value);
        }
    }

    // The median of a run's metric over its repetitions; false when the run has none.
    bool Value(const std::string &name, const std::string &metric, double *value) const
    {
        for (const Book *book : {&samples_, &medians_}) {
            const auto run = book->find(name);
            if (run == book->end()) {
                continue;
            }
            const auto samples = run->second.find(metric);
            if (samples != run->second.end() && !samples->second.empty()) {
                *value = Median(samples->second);
                return true;
            }
        }
        return false;
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const Book *book : {&samples_, &medians_}) {
            for (const auto &entry : *book) {
                if (std::find(names.begin(), names.end(), entry.first) == names.end()) {
                    names.push_back(entry.first);
                }
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<std::string> Metrics(const std::string &name) const
    {
        std::vector<std::string> metrics;
        for (const Book *book : {&samples_, &medians_}) {
            const auto run = book->find(name);
            if (run != book->end()) {
                for (const auto &entry : run->second) {
                    if (std::find(metrics.begin(), metrics.end(), entry.first) == metrics.end()) {
                        metrics.push_back(entry.first);
                    }
                }
            }
        }
        return metrics;
    }

private:
    using MetricSamples = std::map<std::string, std::vector<double>>;
    using Book = std::map<std::string, MetricSamples>;
    Book samples_;  // one sample per repetition
    Book medians_;  // the median rows, when only aggregates are reported
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(BaselineNameOf baselineOf) : baselineOf_(baselineOf) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            book_.Add(run);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        for (const std::string &name : book_.Names()) {
            const std::string baselineName = baselineOf_(name);
            if (baselineName.empty() || baselineName == name) {
                continue;
            }
            for (const std::string &metric : book_.Metrics(name)) {
                double measured = 0;
                double baseline = 0;
                if (!book_.Value(name, metric, &measured) || !book_.Value(baselineName, metric, &baseline) ||
                    baseline <= 0) {
                    continue;
                }
                const std::string label = metric == "time" ? name : name + " " + metric;
                std::printf("ratio %-52s %8.3g x %s\n", label.c_str(), measured / baseline, baselineName.c_str());
            }
        }
    }

private:
    BaselineNameOf baselineOf_;
    SampleBook book_;
};

// A measured operation and its baseline timed in the same benchmark, batch after batch in
// turn, so that both see the same machine load. Each iteration runs one batch of each; the
// run's counters are the per-operation times, measured_ns and baseline_ns, and their
// quotient, ratio (differences, as extra_ns, where the baseline is a floor to add to).
template <class Measured, class Baseline>
void Paired(benchmark::State &state, std::size_t batch, Measured measured, Baseline baseline)
{
    using Clock = std::chrono::steady_clock;
    double measuredNs = 0;
    double baselineNs = 0;
    std::size_t operations = 0;
    std::size_t turn = 0;
    for (auto _ : state) {
        // Which side goes first alternates, so neither always runs on a warmed cache.
        for (int side = 0; side < 2; ++side) {
            const bool measuredSide = ((turn + side) & 1) == 0;
            const auto start = Clock::now();
            for (std::size_t i = 0; i < batch; ++i) {
                if (measuredSide) {
                    measured(operations + i);
                } else {
                    baseline(operations + i);
                }
            }
            const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            (measuredSide ? measuredNs : baselineNs) += ns;
        }
        operations += batch;
        ++turn;
    }
    if (operations == 0) {
        return;
    }
    state.counters["measured_ns"] = measuredNs / static_cast<double>(operations);
    state.counters["baseline_ns"] = baselineNs / static_cast<double>(operations);
    state.counters["extra_ns"] = (measuredNs - baselineNs) / static_cast<double>(operations);
    state.counters["ratio"] = baselineNs > 0 ? measuredNs / baselineNs : 0;
}

// Percentile p (0..100) of the samples, nearest rank; 0 when empty.
inline double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    std::size_t rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(samples.size()));
    return samples[std::min(samples.size() - 1, rank)];
}

// The body of a benchmark's main: runs what the command line selects, then the ratios.
inline int RunWithRatios(int argc, char **argv, BaselineNameOf baselineOf)
{
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("winsim_mode", winsim::CurrentMode() == winsim::Mode::Release ? "release" : "checked");
    RatioReporter reporter(baselineOf);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

}  // namespace qvrbench
