/*
 * static_init.cpp
 *
 * The static-initialisation step and the exit list. A kernel driver gets no C++ runtime
 * to run global constructors and atexit destructors, and a driver image reloaded in the
 * same address space must start from scratch, so both are explicit: the table below names
 * every static object with its constructor and destructor.
 */
#include <ntddk.h>

#include "static_init.h"
#include "../flow/flow_context_table.h"
#include "../trace/trace.h"
#include "static_init.tmh"

typedef struct _DRIVER_STATIC_OBJECT {
    PDRIVER_STATIC_CONSTRUCTOR Construct;  // builds the object
    PDRIVER_EXIT_ROUTINE Destroy;          // entered in the exit list once it is built
} DRIVER_STATIC_OBJECT;

// The driver's static objects, in construction order; the table ends with a null entry.
static const DRIVER_STATIC_OBJECT StaticObjects[] = {
    {ConstructFlowContextTable, DestroyFlowContextTable},
    {nullptr, nullptr},
};

// Only DriverEntry and DriverUnload touch the list, and never at the same time.
static PDRIVER_EXIT_ROUTINE ExitList[DRIVER_EXIT_LIST_CAPACITY];
static ULONG ExitListCount;

NTSTATUS RegisterExitRoutine(PDRIVER_EXIT_ROUTINE Routine)
{
    NTSTATUS status = STATUS_SUCCESS;

    if (ExitListCount == DRIVER_EXIT_LIST_CAPACITY) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: exit list full (%u entries) %!STATUS!", ExitListCount,
                    status);
        goto Exit;
    }
    ExitList[ExitListCount] = Routine;
    ExitListCount += 1;

Exit:
    return status;
}

VOID RunExitList(VOID)
{
    while (ExitListCount > 0) {
        ExitListCount -= 1;
        PDRIVER_EXIT_ROUTINE routine = ExitList[ExitListCount];
        ExitList[ExitListCount] = nullptr;
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: exit routine %u", ExitListCount);
        routine();
    }
}

ULONG ExitListLength(VOID)
{
    return ExitListCount;
}

NTSTATUS RunStaticInitializers(VOID)
{
    NTSTATUS status = STATUS_SUCCESS;

    for (const DRIVER_STATIC_OBJECT *object = StaticObjects; object->Construct != nullptr; ++object) {
        object->Construct();
        status = RegisterExitRoutine(object->Destroy);
        if (!NT_SUCCESS(status)) {
            // Not on the list, so nobody else would destroy it.
            object->Destroy();
            RunExitList();
            goto Exit;
        }
    }

Exit:
    return status;
}
