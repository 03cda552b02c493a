/*
 * kernel_test_util.h
 *
 * Small helpers shared by the kernel stand-in's tests.
 */
#pragma once

#include <ntddk.h>
#include <winsim/verifier.h>

#include <chrono>
#include <future>
#include <thread>

namespace kerneltest {

// A pool tag whose four bytes in memory are the given characters.
constexpr ULONG Tag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

constexpr LONGLONG kOneSecond = 10'000'000;  // in 100-ns units

inline LARGE_INTEGER Relative(LONGLONG hundredNs)
{
    LARGE_INTEGER value;
    value.QuadPart = -hundredNs;
    return value;
}

// True when the future does not become ready within a short grace period; used to show
// that a thread is still blocked (a thread that wrongly returns does so at once).
template <typename T>
bool StillBlocked(std::future<T> &future)
{
    return future.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout;
}

// Waits (in real time, at most 5 s) until `count` threads are in a timed wait on winsim's clock.
inline bool WaitForTimedWaiters(std::size_t count)
{
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (winsim::clock::Waiters() < count) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kerneltest
