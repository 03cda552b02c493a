// process_world.h
//
// The process policy of a loaded driver's first half, without the rest of the driver: the
// rule store and the process table, fed by winsim's processes through the table's own
// notification routine. Half the processes run an intercepted image. The world is resized
// to what each benchmark asks for and kept between benchmarks, so that suites that go up in
// size fill each size once.
#pragma once

#include <ntifs.h>

#include <winsim/processes.h>

#include "bench/bench_ratios.h"
#include "driver/policy/process_table.h"
#include "driver/policy/rule_store.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qvrbench {

constexpr char16_t kInterceptedImage[] = u"\\Device\\HarddiskVolume2\\Browser\\browser.exe";
constexpr char16_t kOtherImage[] = u"\\Device\\HarddiskVolume2\\Tools\\editor.exe";

// The names area of a process-rules record: each name followed by one zero character.
inline std::vector<WCHAR> NamesArea(const std::vector<std::u16string> &names)
{
    std::vector<WCHAR> area;
    for (const std::u16string &name : names) {
        area.insert(area.end(), name.begin(), name.end());
        area.push_back(0);
    }
    return area;
}

// "browser.exe" and count - 1 names that no process runs.
inline std::vector<std::u16string> RuleNames(std::size_t count)
{
    std::vector<std::u16string> names{u"browser.exe"};
    for (std::size_t i = 1; i < count; ++i) {
        std::string text = "tool" + std::to_string(i) + ".exe";
        names.emplace_back(text.begin(), text.end());
    }
    return names;
}

class ProcessWorld {
public:
    static ProcessWorld &Get()
    {
        static ProcessWorld *world = new ProcessWorld();
        return *world;
    }

    // Starts or ends processes until exactly `count` run; returns the seconds it took.
    double ResizeTo(std::size_t count)
    {
        const auto start = std::chrono::steady_clock::now();
        while (ids_.size() < count) {
            ids_.push_back(winsim::processes::Start(ids_.size() % 2 == 0 ? kInterceptedImage : kOtherImage));
        }
        while (ids_.size() > count) {
            winsim::processes::End(ids_.back());
            ids_.pop_back();
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    // Ends every process (each exit notified to the table); returns the seconds it took.
    double EndAll()
    {
        const auto start = std::chrono::steady_clock::now();
        for (winsim::processes::ProcessId id : ids_) {
            winsim::processes::End(id);
        }
        ids_.clear();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    // Sets the rules (intercept mode) to `names`; false when the store refused them.
    static bool SetRules(const std::vector<std::u16string> &names)
    {
        std::vector<WCHAR> area = NamesArea(names);
        return NT_SUCCESS(ReplaceRules(area.data(), area.size() * sizeof(WCHAR), static_cast<ULONG>(names.size()), TRUE));
    }

    // Ends every process and frees the table and the store.
    void Shutdown()
    {
        (void)EndAll();
        FreeProcessTable();
        FreeRuleStore();
    }

    const std::vector<winsim::processes::ProcessId> &Ids() const { return ids_; }

private:
    ProcessWorld()
    {
        if (!NT_SUCCESS(InitRuleStore()) || !NT_SUCCESS(InitProcessTable()) || !SetRules(RuleNames(1))) {
            std::fprintf(stderr, "the process policy could not be created\n");
            std::abort();
        }
    }

    std::vector<winsim::processes::ProcessId> ids_;
};

// The main of a process-policy suite: registers its runs, runs them (each reports its own
// baseline in counters), then ends the world.
inline int RunProcessSuite(int argc, char **argv, void (*registerAll)())
{
    registerAll();
    const int result = RunWithRatios(argc, argv, [](const std::string &) { return std::string(); });
    ProcessWorld::Get().Shutdown();
    return result;
}

}  // namespace qvrbench
