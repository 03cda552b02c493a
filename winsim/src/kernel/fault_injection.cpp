/*
 * fault_injection.cpp (winsim kernel)
 *
 * Armed faults: the Nth allocation from now, every allocation under a tag, and the Nth (or
 * every from the Nth) call of a named stood-in call, failing with a chosen status. Every
 * fallible call asks ShouldFail() with its own name, which also counts the call.
 */
#include <winsim/verifier.h>

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
};

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
}

void FailAllocationsWithTag(std::string_view tag)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.failingTags.emplace(tag);
}

void FailCall(std::string_view call, NTSTATUS status, std::uint64_t nth, bool every)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.armed[std::string(call)] = ArmedCall{status, nth == 0 ? 1 : nth, every};
}

void Clear()
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.counts.clear();
    state.armed.clear();
    state.allocationCountdown = 0;
    state.failingTags.clear();
}

std::uint64_t CallCount(std::string_view call)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.counts.find(call);
    return it == state.counts.end() ? 0 : it->second;
}

bool ShouldFail(std::string_view call, NTSTATUS *status)
{
    FaultState &state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
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

}  // namespace winsim::faults
