/*
 * schedule.cpp (winsim kernel)
 *
 * Test hooks and seeded perturbation at the synchronisation points of winsim's primitives
 * (winsim/schedule.h). The fast path is one relaxed load of `active`.
 */
#include <winsim/schedule.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

namespace winsim::schedule {
namespace {

struct State {
    std::mutex mutex;
    std::shared_ptr<const Hook> hook;
    std::uint64_t seed = 0;
    std::uint32_t oneIn = 0;
    std::atomic<std::uint64_t> epoch{0};     // bumped by each Perturb(): threads reseed
    std::atomic<std::uint64_t> nextThread{0};
    std::atomic<std::uint64_t> perturbations{0};
};

State &Schedule()
{
    static auto *state = new State();
    return *state;
}

std::atomic<bool> hookSet{false};
std::atomic<bool> perturbing{false};
std::atomic<bool> active{false};

void UpdateActive() { active.store(hookSet.load() || perturbing.load(), std::memory_order_release); }

struct ThreadRandom {
    std::uint64_t epoch = ~0ULL;
    std::mt19937_64 engine;
    bool inHook = false;
};

thread_local ThreadRandom threadRandom;

void MaybePerturb()
{
    State &s = Schedule();
    const std::uint64_t epoch = s.epoch.load(std::memory_order_acquire);
    ThreadRandom &r = threadRandom;
    if (r.epoch != epoch) {
        r.epoch = epoch;
        std::uint64_t seed;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            seed = s.seed;
        }
        r.engine.seed(seed * 0x9E3779B97F4A7C15ULL + s.nextThread.fetch_add(1));
    }
    const std::uint32_t oneIn = s.oneIn;
    if (oneIn == 0 || r.engine() % oneIn != 0) {
        return;
    }
    s.perturbations.fetch_add(1, std::memory_order_relaxed);
    if (r.engine() % 8 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(r.engine() % 200));
    } else {
        std::this_thread::yield();
    }
}

}  // namespace

const char *PointName(Point point)
{
    switch (point) {
    case Point::LockAcquire:
        return "lock-acquire";
    case Point::LockRelease:
        return "lock-release";
    case Point::EventSet:
        return "event-set";
    case Point::EventWait:
        return "event-wait";
    case Point::QueueOperation:
        return "queue-operation";
    case Point::WorkItem:
        return "work-item";
    }
    return "?";
}

void SetHook(Hook hook)
{
    State &s = Schedule();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.hook = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
        hookSet = s.hook != nullptr;
    }
    UpdateActive();
}

void Perturb(std::uint64_t seed, std::uint32_t oneIn)
{
    State &s = Schedule();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.seed = seed;
        s.oneIn = oneIn;
        s.nextThread = 0;
        s.perturbations = 0;
        s.epoch.fetch_add(1, std::memory_order_release);
    }
    perturbing = oneIn != 0;
    UpdateActive();
}

void StopPerturbing()
{
    perturbing = false;
    UpdateActive();
}

std::uint64_t PerturbationCount() { return Schedule().perturbations.load(); }

void At(Point point, const void *object)
{
    if (!active.load(std::memory_order_relaxed)) {
        return;
    }
    ThreadRandom &r = threadRandom;
    if (r.inHook) {
        return;  // what a hook itself does is not perturbed or hooked again
    }
    if (perturbing.load(std::memory_order_relaxed)) {
        MaybePerturb();
    }
    if (hookSet.load(std::memory_order_relaxed)) {
        std::shared_ptr<const Hook> hook;
        {
            State &s = Schedule();
            std::lock_guard<std::mutex> lock(s.mutex);
            hook = s.hook;
        }
        if (hook) {
            r.inHook = true;
            (*hook)(point, object);
            r.inHook = false;
        }
    }
}

}  // namespace winsim::schedule
