/*
 * fault_injection.cpp (winsim kernel)
 *
 * Armed faults: the Nth allocation from now, every allocation under a tag, and the Nth (or
 * every from the Nth) call of a named stood-in call, failing with a chosen status. Every
 * fallible call asks ShouldFail() with its own name, which also counts the call. For sweeps,
 * calls are also told apart by their caller's site (the first frame in the caller's sources),
 * recorded in order and failed by site and ordinal.
 */
#include <winsim/verifier.h>

#include "kernel_internal.h"

#include <atomic>

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace winsim::faults {
namespace {

struct ArmedCall {
    NTSTATUS status;      // status the failing call returns
    std::uint64_t countdown; // calls until the first failure (1 = the next)
    bool every;           // keep failing after the first
};

struct FaultState {
    std::mutex mutex;
    std::map<std::string, std::uint64_t, std::less<>> counts;
    std::map<std::string, ArmedCall, std::less<>> armed;
    std::uint64_t allocationCountdown = 0;  // 0: not armed
    std::set<std::string, std::less<>> failingTags;
    std::string siteFilter = "/driver/";
    bool recording = false;
    std::vector<FallibleCall> recorded;
    std::map<const void *, std::uint64_t> siteCounts;      // calls per site while recording
    std::map<const void *, ArmedCall> armedSites;
};

// Set while sites must be resolved (recording or a site armed); read without the lock so
// that ordinary runs do not walk the stack.
std::atomic<bool> gSitesWanted{false};
// Set while a named call or an allocation fault is armed, for release mode's early return.
std::atomic<bool> gCallsArmed{false};
std::atomic<bool> gAllocationsArmed{false};

FaultState &State()
{
    static FaultState *state = new FaultState();
    return *state;
}

}  // namespace

void FailNthAllocation(std::uint64_t n)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.allocationCountdown = n;
    gAllocationsArmed.store(true);
}

void FailAllocationsWithTag(std::string_view tag)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.failingTags.emplace(tag);
    gAllocationsArmed.store(true);
}

void FailCall(std::string_view call, NTSTATUS status, std::uint64_t nth, bool every)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.armed[std::string(call)] = ArmedCall{status, nth == 0 ? 1 : nth, every};
    gCallsArmed.store(true);
}

void Clear()
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.counts.clear();
    state.armed.clear();
    state.allocationCountdown = 0;
    state.failingTags.clear();
    state.recording = false;
    state.recorded.clear();
    state.siteCounts.clear();
    state.armedSites.clear();
    gSitesWanted.store(false);
    gCallsArmed.store(false);
    gAllocationsArmed.store(false);
}

std::uint64_t CallCount(std::string_view call)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.counts.find(call);
    return it == state.counts.end() ? 0 : it->second;
}

// Counts the site's call while recording; true (with the status) when the site is armed for it.
bool SiteFailsLocked(FaultState &state, std::string_view call, const void *site, NTSTATUS *status)
{
    if (state.recording) {
        std::uint64_t ordinal = site == nullptr ? 0 : ++state.siteCounts[site];
        state.recorded.push_back(FallibleCall{std::string(call), site, ordinal});
    }
    auto it = state.armedSites.find(site);
    if (site == nullptr || it == state.armedSites.end()) {
        return false;
    }
    if (it->second.countdown > 1) {
        --it->second.countdown;
        return false;
    }
    if (status != nullptr) {
        *status = it->second.status;
    }
    state.armedSites.erase(it);
    return true;
}

bool ShouldFail(std::string_view call, NTSTATUS *status)
{
    FaultState &state = State();
    const void *site = nullptr;
    bool sites = gSitesWanted.load();
    if (kernel::ReleaseMode() && !sites && !gCallsArmed.load(std::memory_order_relaxed)) {
        return false;  // nothing can fail, and release mode keeps no call counts
    }
    if (sites) {
        std::string filter;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            filter = state.siteFilter;
        }
        site = kernel::FindCallerFrom(filter);
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    if (sites && SiteFailsLocked(state, call, site, status)) {
        return true;
    }
    auto count = state.counts.find(call);
    if (count == state.counts.end()) {
        state.counts.emplace(std::string(call), 1);
    } else {
        ++count->second;
    }
    auto it = state.armed.find(call);
    if (it == state.armed.end()) {
        return false;
    }
    ArmedCall &armed = it->second;
    if (armed.countdown > 1) {
        --armed.countdown;
        return false;
    }
    if (status != nullptr) {
        *status = armed.status;
    }
    if (!armed.every) {
        state.armed.erase(it);
    }
    return true;
}

bool ShouldFailAllocation(std::string_view tag)
{
    if (kernel::ReleaseMode() && !gAllocationsArmed.load(std::memory_order_relaxed)) {
        return false;
    }
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    bool fail = false;
    if (state.allocationCountdown != 0) {
        if (--state.allocationCountdown == 0) {
            fail = true;
        }
    }
    if (state.failingTags.count(tag) != 0) {
        fail = true;
    }
    return fail;
}

void SetSiteFilter(std::string_view pathPart)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.siteFilter = std::string(pathPart);
}

void StartRecording()
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.recording = true;
    state.recorded.clear();
    state.siteCounts.clear();
    gSitesWanted.store(true);
}

std::vector<FallibleCall> StopRecording()
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.recording = false;
    state.siteCounts.clear();
    gSitesWanted.store(!state.armedSites.empty());
    return std::move(state.recorded);
}

void FailAtSite(const void *site, std::uint64_t nth, NTSTATUS status)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.armedSites[site] = ArmedCall{status, nth == 0 ? 1 : nth, false};
    gSitesWanted.store(true);
}

std::string DescribeSite(const void *site) { return kernel::DescribeCodeAddress(site); }

}  // namespace winsim::faults

namespace winsim::kernel {

bool AllocationFaultsArmed() { return faults::gAllocationsArmed.load(std::memory_order_relaxed); }

}  // namespace winsim::kernel
