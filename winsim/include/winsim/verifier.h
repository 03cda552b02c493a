/*
 * winsim/verifier.h
 *
 * The checking half of winsim's control surface: how stood-in calls report rule
 * violations, how a test sees what the driver left behind, and how a test makes calls
 * fail on purpose. Host code only: driver sources never include the control surface.
 */
#pragma once

#ifdef WINSIM_DRIVER_BUILD
#error "driver code must not include the winsim control surface"
#endif

#include <ntdef.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// One broken platform rule: the stood-in call that caught it and what was wrong.
struct Violation {
    std::string call;     // e.g. "KeWaitForSingleObject"
    std::string message;  // what rule, with the values involved
};

using ViolationHandler = std::function<void(const Violation &)>;

// Installs the handler that every violation goes to (the GoogleTest main routes them into
// the running test). Without one, a violation is printed and the process aborts, as a
// bug check would end the machine.
void SetViolationHandler(ViolationHandler handler);

// Called by stood-in calls when a rule is broken.
void ReportViolation(std::string_view call, std::string message);

// For the verifier's own tests: while alive, violations are collected here instead of
// going to the handler.
class ViolationCapture {
public:
    ViolationCapture();
    ~ViolationCapture();
    ViolationCapture(const ViolationCapture &) = delete;
    ViolationCapture &operator=(const ViolationCapture &) = delete;

    std::vector<Violation> Violations() const;
    bool Caught(std::string_view call) const;  // any violation reported by that call

private:
    struct State;
    State *state_;
};

// What is still held, by kind ("pool", "handle", "object-reference", "request",
// "work-item", "callout", "flow-context", "classify-handle", ...), one readable line per
// item, naming the tag or owner and the call that created it.
std::vector<std::string> Outstanding();

// Kinds register what they hold so that Outstanding() and the unload report see it.
void Track(std::string_view kind, const void *key, std::string description);
void Untrack(std::string_view kind, const void *key);

// The same, one record per item: kind, identity and readable description.
struct OutstandingItem {
    std::string kind;        // "pool", "handle", ...
    const void *key;         // identity of the item within its kind
    std::string description; // what Outstanding() prints after "kind: "
};
std::vector<OutstandingItem> OutstandingItems();

// The unload report: one violation, reported as `call`, for every item still held.
// Returns true when nothing was held.
bool CheckNothingOutstanding(std::string_view call);

// Kinds that begin with "user-" are held by user-mode callers (a service's management
// session): a driver's load and unload report leaves them out, a test's end does not.
bool IsUserModeKind(std::string_view kind);
// What a driver's load or unload reports: OutstandingItems() without the user-mode kinds.
std::vector<OutstandingItem> DriverOutstandingItems();
// CheckNothingOutstanding over DriverOutstandingItems().
bool CheckDriverLeftNothing(std::string_view call);

// Violations that went to the handler (not to a capture) since the last ResetForTest().
std::size_t ViolationCount();

// Pool accounting, by tag in memory order ("QVPM"); an untagged allocation has tag "".
std::size_t OutstandingAllocations();
std::size_t OutstandingAllocations(std::string_view tag);

// Fault injection. Every fallible stood-in call asks ShouldFail() with its own name
// before doing anything; allocations are also failed by count and by tag.
namespace faults {
void FailNthAllocation(std::uint64_t n);            // the n-th allocation from now (1 = next)
void FailAllocationsWithTag(std::string_view tag);  // every allocation under this tag
void FailCall(std::string_view call, NTSTATUS status, std::uint64_t nth = 1,
              bool every = false);                  // the nth call from now, or every one from it
void Clear();                                       // remove every armed fault
std::uint64_t CallCount(std::string_view call);     // calls seen since the last Clear()
bool ShouldFail(std::string_view call, NTSTATUS *status);  // used by stood-in calls
bool ShouldFailAllocation(std::string_view tag);           // used by the pool

// Call sites, for sweeps that fail each fallible call of a caller in turn. A site is the
// caller's return address: the innermost frame of the stack whose source path contains the
// filter (say "/driver/"). Sites are resolved only while recording or while a site is armed,
// so ordinary runs pay nothing for them.
struct FallibleCall {
    std::string call;        // the stood-in call's name ("ExAllocatePoolWithTag")
    const void *site;        // the caller's return address, nullptr when outside the filter
    std::uint64_t ordinal;   // 1 for the site's first call since recording began, ...
};
void SetSiteFilter(std::string_view pathPart);  // source paths that count as the caller's
void StartRecording();                           // forgets what was recorded before
std::vector<FallibleCall> StopRecording();       // every fallible call since StartRecording()
void FailAtSite(const void *site, std::uint64_t nth, NTSTATUS status);  // the site's nth call from now
std::string DescribeSite(const void *site);      // "Function (file.cpp:line)"
}  // namespace faults

// Time for every kernel wait with a time-out, in 100-ns units.
namespace clock {
void UseReal();                          // default: follows the host's monotonic clock
void UseManual();                        // frozen until Advance()
void Advance(std::int64_t hundredNs);    // wakes every wait whose time-out has passed
std::int64_t Now();                      // interrupt time, 100-ns units since start
bool IsManual();
std::size_t Waiters();                   // threads blocked in a timed wait right now
}  // namespace clock

// How much the verifier does on every call. Checked (the default) keeps all its per-call
// bookkeeping: call counts and call sites for fault injection, the freed-block quarantine
// that tells a double free apart, eager sweeps of ended processes, the callers named in
// every outstanding item. Release keeps every behaviour, every failure return, every armed
// fault and every check that costs no bookkeeping, and skips the rest, so that a benchmark
// measures the driver rather than the stand-in (docs/release-mode.md). Chosen at run time:
// SetMode(), or WINSIM_MODE=release in the environment at start.
enum class Mode { Checked, Release };
void SetMode(Mode mode);
Mode CurrentMode();

// Resets per-test state (faults, counters, violation capture); the test main calls it
// between tests. Outstanding items are not forgotten: they are a leak.
void ResetForTest();

}  // namespace winsim
