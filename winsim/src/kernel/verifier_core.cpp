/*
 * verifier_core.cpp (winsim kernel)
 *
 * Where violations go (the installed handler, a capture, or an abort as a bug check would
 * end the machine), the registry of outstanding items that kinds track, and the per-test
 * reset. The kernel's own bookkeeping (pool, handles, objects, threads, work items) is
 * gathered from its owners when a test asks what is outstanding.
 */
#include <winsim/verifier.h>

#include "kernel_internal.h"
#include "thread_context.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

namespace winsim {
namespace kernel {

namespace {
bool ReleaseModeAtStart()
{
    const char *mode = std::getenv("WINSIM_MODE");
    return mode != nullptr && std::string_view(mode) == "release";
}
}  // namespace

std::atomic<bool> gReleaseMode{ReleaseModeAtStart()};

}  // namespace kernel

void SetMode(Mode mode) { kernel::gReleaseMode.store(mode == Mode::Release); }

Mode CurrentMode() { return kernel::ReleaseMode() ? Mode::Release : Mode::Checked; }

namespace {

struct ViolationState {
    std::mutex mutex;
    ViolationHandler handler;
    std::vector<std::vector<Violation> *> captures;  // innermost last
    std::size_t count = 0;
};

ViolationState &GlobalViolations()
{
    static ViolationState *state = new ViolationState();  // outlives every thread
    return *state;
}

// Items by kind, then by key: a kind is found among the few there are with one short
// string comparison each, and the item by its address, so that tracking and untracking on
// every classify cost no string comparisons of their own. Listed in kind, then key order.
struct TrackState {
    std::mutex mutex;
    std::map<std::string, std::map<const void *, std::string>, std::less<>> items;
};

TrackState &Tracked()
{
    static TrackState *state = new TrackState();
    return *state;
}

}  // namespace

struct ViolationCapture::State {
    std::vector<Violation> violations;
};

void SetViolationHandler(ViolationHandler handler)
{
    ViolationState &state = GlobalViolations();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.handler = std::move(handler);
}

void ReportViolation(std::string_view call, std::string message)
{
    Violation violation{std::string(call), std::move(message)};
    ViolationHandler handler;
    {
        ViolationState &state = GlobalViolations();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.captures.empty()) {
            state.captures.back()->push_back(std::move(violation));
            return;
        }
        ++state.count;
        handler = state.handler;
    }
    if (handler) {
        handler(violation);
        return;
    }
    std::fprintf(stderr, "winsim: verifier violation in %s: %s\n", violation.call.c_str(),
                 violation.message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::size_t ViolationCount()
{
    ViolationState &state = GlobalViolations();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.count;
}

ViolationCapture::ViolationCapture() : state_(new State())
{
    ViolationState &state = GlobalViolations();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.captures.push_back(&state_->violations);
}

ViolationCapture::~ViolationCapture()
{
    {
        ViolationState &state = GlobalViolations();
        std::lock_guard<std::mutex> lock(state.mutex);
        for (auto it = state.captures.begin(); it != state.captures.end(); ++it) {
            if (*it == &state_->violations) {
                state.captures.erase(it);
                break;
            }
        }
    }
    delete state_;
}

std::vector<Violation> ViolationCapture::Violations() const
{
    ViolationState &state = GlobalViolations();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state_->violations;
}

bool ViolationCapture::Caught(std::string_view call) const
{
    for (const Violation &violation : Violations()) {
        if (violation.call == call) {
            return true;
        }
    }
    return false;
}

void Track(std::string_view kind, const void *key, std::string description)
{
    TrackState &state = Tracked();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto items = state.items.find(kind);
    if (items == state.items.end()) {
        items = state.items.emplace(std::string(kind), std::map<const void *, std::string>()).first;
    }
    items->second[key] = std::move(description);
}

void Untrack(std::string_view kind, const void *key)
{
    TrackState &state = Tracked();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto items = state.items.find(kind);
    if (items != state.items.end()) {
        items->second.erase(key);
    }
}

std::vector<OutstandingItem> OutstandingItems()
{
    std::vector<OutstandingItem> items;
    kernel::CollectPoolOutstanding(items);
    kernel::CollectObjectOutstanding(items);
    kernel::CollectHandleOutstanding(items);
    kernel::CollectDeviceOutstanding(items);
    kernel::CollectThreadOutstanding(items);
    kernel::CollectWorkItemOutstanding(items);
    kernel::CollectResourceOutstanding(items);
    TrackState &state = Tracked();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const auto &[kind, ofKind] : state.items) {
        for (const auto &[key, description] : ofKind) {
            items.push_back(OutstandingItem{kind, key, description});
        }
    }
    return items;
}

std::vector<std::string> Outstanding()
{
    std::vector<std::string> lines;
    for (const OutstandingItem &item : OutstandingItems()) {
        lines.push_back(item.kind + ": " + item.description);
    }
    return lines;
}

bool CheckNothingOutstanding(std::string_view call)
{
    std::vector<OutstandingItem> items = OutstandingItems();
    for (const OutstandingItem &item : items) {
        ReportViolation(call, "left behind: " + item.kind + ": " + item.description);
    }
    return items.empty();
}

bool IsUserModeKind(std::string_view kind) { return kind.substr(0, 5) == "user-"; }

std::vector<OutstandingItem> DriverOutstandingItems()
{
    std::vector<OutstandingItem> items = OutstandingItems();
    std::vector<OutstandingItem> driver;
    for (OutstandingItem &item : items) {
        if (!IsUserModeKind(item.kind)) {
            driver.push_back(std::move(item));
        }
    }
    return driver;
}

bool CheckDriverLeftNothing(std::string_view call)
{
    std::vector<OutstandingItem> items = DriverOutstandingItems();
    for (const OutstandingItem &item : items) {
        ReportViolation(call, "left behind: " + item.kind + ": " + item.description);
    }
    return items.empty();
}

void ResetForTest()
{
    faults::Clear();
    clock::UseReal();
    kernel::ResetCurrentThreadState();
    ViolationState &state = GlobalViolations();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.count = 0;
}

}  // namespace winsim
