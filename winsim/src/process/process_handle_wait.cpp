/*
 * process_handle_wait.cpp (winsim processes)
 *
 * ZwWaitForSingleObject: a wait on the dispatcher object behind a handle, which is how a
 * driver waits for a system thread it could not reference (or a process it holds only a
 * handle to). The object is held for the wait and the wait follows KeWaitForSingleObject.
 */
#include "process_internal.h"

#include "kernel/object_manager.h"
#include "kernel/thread_context.h"

extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    if (!winsim::kernel::RequireIrqlExactly("ZwWaitForSingleObject", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status;
    if (winsim::faults::ShouldFail("ZwWaitForSingleObject", &status)) {
        return status;
    }
    PVOID object = nullptr;
    status = winsim::kernel::ReferenceObjectByHandleInternal(Handle, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    POBJECT_TYPE type = winsim::kernel::ObjectTypeOf(object);
    if (type != *PsProcessType && type != *PsThreadType && type != *ExEventObjectType) {
        winsim::kernel::DereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = KeWaitForSingleObject(object, Executive, KernelMode, Alertable, Timeout);
    winsim::kernel::DereferenceObject(object);
    return status;
}
