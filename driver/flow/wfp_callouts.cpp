/*
 * wfp_callouts.cpp
 *
 * Registers and unregisters the driver's WFP callouts, one record per callout and one
 * table of records per group. Registration unwinds the group on its first failure.
 * Unregistration does not give up: while WFP refuses a key it removes the flow contexts
 * that may still hold the callout and asks again, because WFP goes on calling a callout
 * it still holds and the driver may not unload before every callout is gone.
 */
#include "wfp_callouts.h"

#include "pool_tags.h"
#include "flow_context_table.h"
#include "../trace/trace.h"
#include "wfp_callouts.tmh"

_Use_decl_annotations_
NTSTATUS RegisterCallout(PDEVICE_OBJECT DeviceObject, const GUID *Key, FWPS_CALLOUT_CLASSIFY_FN1 ClassifyFn,
                         FWPS_CALLOUT_NOTIFY_FN1 NotifyFn, FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 FlowDeleteFn,
                         PCALLOUT_REGISTRATION *Registration)
{
    NTSTATUS status;
    PCALLOUT_REGISTRATION registration;

    registration = static_cast<PCALLOUT_REGISTRATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CALLOUT_REGISTRATION), QVR_TAG_WFP));
    *Registration = registration;
    if (registration == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: no memory for the record of %!GUID!", Key);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(registration, sizeof(*registration));
    registration->Callout.calloutKey = *Key;
    registration->Callout.flags = FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY;
    registration->Callout.classifyFn = ClassifyFn;
    registration->Callout.notifyFn = NotifyFn;
    registration->Callout.flowDeleteFn = FlowDeleteFn;

    status = FwpsCalloutRegister1(DeviceObject, &registration->Callout, &registration->CalloutId);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsCalloutRegister1 failed for %!GUID!: %!STATUS!", Key, status);
        // A refused registration leaves nothing with WFP; asking it to unregister the key
        // could only remove a registration that is not this one (STATUS_FWP_ALREADY_EXISTS).
        *Registration = nullptr;
        ExFreePoolWithTag(registration, QVR_TAG_WFP);
        return status;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "callout %!GUID! registered with id %u", Key,
                registration->CalloutId);
    return STATUS_SUCCESS;
}

/* Pause between two unregistration attempts: 10 ms, relative. */
#define UNREGISTER_RETRY_DELAY_100NS (-10LL * 1000 * 10)

/*
 * What a refused unregistration needs before the next attempt. STATUS_DEVICE_BUSY: flows
 * still carry contexts of the callout, so whatever the flow-context table still holds is
 * taken off its flows (a context whose removal WFP deferred behind a running classify goes
 * when that classify ends). STATUS_FWP_IN_USE: another thread is registering or
 * unregistering the key. Either way the callout is WFP's until it says otherwise.
 */
static VOID PrepareUnregisterRetry(_In_ NTSTATUS Refusal)
{
    LARGE_INTEGER delay;

    if (Refusal == STATUS_DEVICE_BUSY && FlowContextDrainStep != nullptr) {
        DrainFlowContextTable(FlowContextDrainStep, nullptr);
    }
    delay.QuadPart = UNREGISTER_RETRY_DELAY_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

_Use_decl_annotations_
NTSTATUS UnregisterCallout(PCALLOUT_REGISTRATION *Registration)
{
    NTSTATUS status;
    PCALLOUT_REGISTRATION registration = *Registration;
    ULONG refusals = 0;

    if (registration == nullptr) {
        return STATUS_SUCCESS;
    }
    for (;;) {
        status = FwpsCalloutUnregisterByKey0(&registration->Callout.calloutKey);
        if (NT_SUCCESS(status) || status == STATUS_FWP_CALLOUT_NOT_FOUND) {
            break;
        }
        ++refusals;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "FwpsCalloutUnregisterByKey0 refused %!GUID!: %!STATUS! (refusal %u); asking again",
                    &registration->Callout.calloutKey, status, refusals);
        PrepareUnregisterRetry(status);
    }
    // Not found: WFP holds nothing of this record (it was given back elsewhere).
    if (status == STATUS_FWP_CALLOUT_NOT_FOUND) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "FwpsCalloutUnregisterByKey0: %!GUID! was not registered",
                    &registration->Callout.calloutKey);
    }
    *Registration = nullptr;
    ExFreePoolWithTag(registration, QVR_TAG_WFP);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "callout registration record freed after %u refusals", refusals);
    return status;
}

_Use_decl_annotations_
NTSTATUS RegisterCalloutGroup(PDEVICE_OBJECT DeviceObject, UINT32 Count, const GUID *const *Keys,
                              FWPS_CALLOUT_CLASSIFY_FN1 ClassifyFn, FWPS_CALLOUT_NOTIFY_FN1 NotifyFn,
                              FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 FlowDeleteFn, PCALLOUT_REGISTRATION *Registrations)
{
    NTSTATUS status = STATUS_SUCCESS;
    UINT32 i;

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "registering %u callouts", Count);
    for (i = 0; i < Count; ++i) {
        status = RegisterCallout(DeviceObject, Keys[i], ClassifyFn, NotifyFn, FlowDeleteFn, &Registrations[i]);
        if (!NT_SUCCESS(status)) {
            UnregisterCalloutGroup(Count, Registrations);
            break;
        }
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "callout registration loop ends with %!STATUS!", status);
    return status;
}

_Use_decl_annotations_
NTSTATUS UnregisterCalloutGroup(UINT32 Count, PCALLOUT_REGISTRATION *Registrations)
{
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS unregisterStatus;
    UINT32 i;

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "unregistering up to %u callouts", Count);
    for (i = 0; i < Count; ++i) {
        if (Registrations[i] == nullptr) {
            continue;
        }
        unregisterStatus = UnregisterCallout(&Registrations[i]);
        if (!NT_SUCCESS(unregisterStatus)) {
            status = unregisterStatus;
        }
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "callout unregistration loop ends with %!STATUS!", status);
    return status;
}

_Use_decl_annotations_
NTSTATUS RegisterWfpCalloutGroup(PDEVICE_OBJECT DeviceObject, PCWFP_CALLOUT_GROUP Group)
{
    NTSTATUS status;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "registering the %s callouts", Group->Name);
    status = RegisterCalloutGroup(DeviceObject, Group->Count, Group->Keys, Group->ClassifyFn, Group->NotifyFn,
                                  Group->FlowDeleteFn, Group->Registrations);
    // A failing group has already unregistered what it registered.
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "registering the %s callouts failed: %!STATUS!", Group->Name,
                    status);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "registering the %s callouts: %!STATUS!", Group->Name, status);
    return status;
}

_Use_decl_annotations_
NTSTATUS UnregisterWfpCalloutGroup(PCWFP_CALLOUT_GROUP Group)
{
    NTSTATUS status;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "unregistering the %s callouts", Group->Name);
    status = UnregisterCalloutGroup(Group->Count, Group->Registrations);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "unregistering the %s callouts: %!STATUS!", Group->Name, status);
    return status;
}

_Use_decl_annotations_
NTSTATUS RegisterWfpCalloutGroups(PDEVICE_OBJECT DeviceObject, PCWFP_CALLOUT_GROUP Groups)
{
    NTSTATUS status = STATUS_SUCCESS;
    PCWFP_CALLOUT_GROUP group;

    for (group = Groups; group->Keys != nullptr; ++group) {
        status = RegisterWfpCalloutGroup(DeviceObject, group);
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS UnregisterWfpCalloutGroups(PCWFP_CALLOUT_GROUP Groups)
{
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS groupStatus;
    PCWFP_CALLOUT_GROUP group;

    for (group = Groups; group->Keys != nullptr; ++group) {
        groupStatus = UnregisterWfpCalloutGroup(group);
        if (!NT_SUCCESS(groupStatus)) {
            status = groupStatus;
        }
    }
    return status;
}
