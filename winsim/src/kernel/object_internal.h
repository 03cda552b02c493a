/*
 * object_internal.h (winsim kernel, internal)
 *
 * The object header that precedes every object body, shared by the object manager, the
 * handle table and the thread objects.
 */
#pragma once

#include "object_manager.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>

namespace winsim::kernel {

struct alignas(16) ObjectHeader {
    static constexpr std::uint64_t kMagic = 0x4F424A4845414452ULL;
    std::atomic<LONG_PTR> pointerCount{0};     // internal + driver references
    std::atomic<LONG_PTR> handleCount{0};      // open handles
    std::atomic<LONG_PTR> driverReferences{0}; // references the driver took and must drop
    std::atomic<LONG_PTR> lifetime{0};         // references + handles; the object dies at 0
    POBJECT_TYPE type = nullptr;               // object type
    ObjectDeleteRoutine onDelete;              // runs before the memory is released
    std::mutex callsMutex;                     // guards description and referencingCalls
    std::string description;                   // what reports call the object
    std::set<std::string> referencingCalls;    // calls through which the driver referenced it
    std::uint64_t magic = 0;                   // kMagic while alive
};

ObjectHeader *HeaderOf(PVOID body);
PVOID BodyOf(ObjectHeader *header);
// The header of a live object, or nullptr.
ObjectHeader *LookupObject(PVOID body);
// Takes a handle's share of the object's lifetime (with handleCount), and gives one back;
// the object is deleted when the last reference or handle goes.
void AcquireLifetime(ObjectHeader *header);
void ReleaseLifetime(ObjectHeader *header);
std::string DescribeObject(ObjectHeader *header);


}  // namespace winsim::kernel

// Thread objects: the dispatcher header first, so that the thread can be waited on.
struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    HANDLE ThreadId;           // PsGetCurrentThreadId
    HANDLE ProcessId;          // process whose context the thread runs in
    PEPROCESS Process;         // that process's object (not referenced), or nullptr for System
    BOOLEAN SystemThread;      // created by PsCreateSystemThread
    NTSTATUS ExitStatus;       // PsTerminateSystemThread's status
};
