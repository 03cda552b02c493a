/*
 * wfp_lifecycle.cpp
 *
 * Brings the driver's WFP side up and down: fills WfpContext, follows the Base Filtering
 * Engine with a management session, owns the redirect handle and registers the callout
 * groups. The teardown is one routine that skips whatever is not there, so the failure
 * path of the initialisation, driver entry's unwinding and unload all use it.
 */
#include "wfp_lifecycle.h"

#include "auth_connect.h"
#include "flow_context_table.h"
#include "wfp_callout_groups.h"
#include "quic_discard.h"
#include "../redirect/connect_redirect.h"
#include "../redirect/deferred_work.h"
#include "../trace/trace.h"
#include "wfp_lifecycle.tmh"

WFP_CONTEXT WfpContext;
HANDLE BfeChangeHandle;

/*
 * One WFP_CALLOUT_GROUP_ROW (name, key table, classifyFn, notifyFn, flowDeleteFn or null,
 * registration slots) per group whose callout functions are part of the driver, in this
 * order: connect redirect, redirect records, QUIC blocking, discard diagnostics.
 */
const WFP_CALLOUT_GROUP WfpCalloutGroups[] = {
    WFP_CALLOUT_GROUP_ROW("connect redirect", ConnectRedirectCalloutKeys, AleConnectRedirectClassifyFn,
                          ConnectRedirectNotifyFn, nullptr, ConnectRedirectRegistrations),
    WFP_CALLOUT_GROUP_ROW("redirect records", RedirectRecordsCalloutKeys, AleAuthConnectClassifyFnRedirectRecords,
                          RedirectRecordsNotifyFn, RedirectRecordsFlowDeleteFn, RedirectRecordsRegistrations),
    WFP_CALLOUT_GROUP_ROW("QUIC blocking", BlockQuicCalloutKeys, AleAuthConnectClassifyFnBlockQUIC, BlockQuicNotifyFn,
                          nullptr, BlockQuicRegistrations),
    WFP_CALLOUT_GROUP_ROW("discard diagnostics", DiscardCalloutKeys, DiscardClassifyFn, DiscardNotifyFn, nullptr,
                          DiscardRegistrations),
    {nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* The group table that WfpInitializeEx registered from; the teardown unregisters it. */
static PCWFP_CALLOUT_GROUP RegisteredCalloutGroups;

/*
 * Synchronization event, set while free: the initialisation's state query and open, and
 * each BFE notification, run one at a time, so a notification that comes between the
 * subscription and the first query is applied after that query's open, never before it.
 */
static KEVENT EngineGate;

static VOID EnterEngineGate(VOID)
{
    KeEnterCriticalRegion();
    (VOID) KeWaitForSingleObject(&EngineGate, Executive, KernelMode, FALSE, nullptr);
}

static VOID LeaveEngineGate(VOID)
{
    KeSetEvent(&EngineGate, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

/* {7E4A4306-A952-4698-8F23-C9C60A64F490} */
static const GUID QvrManagementSessionKey = {
    0x7e4a4306, 0xa952, 0x4698, {0x8f, 0x23, 0xc9, 0xc6, 0x0a, 0x64, 0xf4, 0x90}};

/* The agent's WFP provider, under which the redirect handle is created.
   {00300459-43CD-4607-968B-FEBF9E4BD4EF} */
static const GUID QvrProviderKey = {0x00300459, 0x43cd, 0x4607, {0x96, 0x8b, 0xfe, 0xbf, 0x9e, 0x4b, 0xd4, 0xef}};

static WCHAR SessionName[] = L"QVR Agent connections redirector";
static WCHAR SessionDescription[] = L"Session created by the QVR Agent";

_Use_decl_annotations_
NTSTATUS OpenEngine(HANDLE *EngineHandle)
{
    NTSTATUS status;
    FWPM_SESSION0 session;
    HANDLE handle = nullptr;

    if (*EngineHandle != nullptr) {
        return STATUS_SUCCESS;
    }
    RtlZeroMemory(&session, sizeof(session));
    session.sessionKey = QvrManagementSessionKey;
    session.displayData.name = SessionName;
    session.displayData.description = SessionDescription;

    status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &handle);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpmEngineOpen0 failed: %!STATUS!", status);
        return status;
    }
    if (handle == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpmEngineOpen0 returned %!STATUS! without a handle", status);
        return status;
    }
    // Both callers (the initialisation and the BFE notification) hold the engine gate and
    // found no session open, so no other open can have stored one meanwhile.
    (VOID) InterlockedExchangePointer(EngineHandle, handle);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "management session opened");
    return status;
}

_Use_decl_annotations_
NTSTATUS CloseEngine(HANDLE *EngineHandle)
{
    NTSTATUS status;

    if (*EngineHandle == nullptr) {
        return STATUS_SUCCESS;
    }
    status = FwpmEngineClose0(*EngineHandle);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpmEngineClose0 failed: %!STATUS!", status);
        return status;
    }
    *EngineHandle = nullptr;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "management session closed");
    return status;
}

_Use_decl_annotations_
NTSTATUS CreateRedirectHandle(HANDLE *RedirectHandle)
{
    NTSTATUS status;

    *RedirectHandle = nullptr;
    status = FwpsRedirectHandleCreate0(&QvrProviderKey, 0, RedirectHandle);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsRedirectHandleCreate0 failed: %!STATUS!", status);
        *RedirectHandle = nullptr;
    }
    return status;
}

_Use_decl_annotations_
VOID DestroyRedirectHandle(HANDLE *RedirectHandle)
{
    if (*RedirectHandle == nullptr) {
        return;
    }
    FwpsRedirectHandleDestroy0(*RedirectHandle);
    *RedirectHandle = nullptr;
}

_Use_decl_annotations_
VOID NTAPI OnBfeStateChange(PVOID Context, FWPM_SERVICE_STATE NewState)
{
    PWFP_CONTEXT context = static_cast<PWFP_CONTEXT>(Context);
    NTSTATUS status = STATUS_SUCCESS;

    EnterEngineGate();
    switch (NewState) {
    case FWPM_SERVICE_STOP_PENDING:
        // Sessions do not survive BFE; close ours while the engine can still take it.
        status = CloseEngine(&context->EngineHandle);
        break;
    case FWPM_SERVICE_RUNNING:
        if (context->EngineHandle == nullptr) {
            status = OpenEngine(&context->EngineHandle);
        }
        break;
    default:
        break;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "BFE state %u: %!STATUS!, session %s", (ULONG)NewState, status,
                context->EngineHandle != nullptr ? "open" : "closed");
    LeaveEngineGate();
}

/* Gives back what WfpContext holds, newest first; every field may already be clear. */
static VOID ReleaseWfpContext(_Inout_ PWFP_CONTEXT Context)
{
    CloseEngine(&Context->EngineHandle);
    DestroyRedirectHandle(&Context->RedirectHandle);
    Context->QueryProcessIntercept = nullptr;
    Context->SendCallbackRequest = nullptr;
    Context->CancelCallbackRequest = nullptr;
    if (Context->DeviceObject != nullptr) {
        ObDereferenceObject(Context->DeviceObject);
        Context->DeviceObject = nullptr;
    }
}

/*
 * Subscribes to BFE state changes and opens the management session if BFE runs now; when it
 * does not, the subscription opens it once BFE starts.
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
static NTSTATUS FollowBfeState(_In_ PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS status = STATUS_SUCCESS;

    // Subscribing before asking for the state leaves no moment in which a start of BFE
    // goes unnoticed; the state may only be asked for once subscribed.
    KeInitializeEvent(&EngineGate, SynchronizationEvent, TRUE);
    status = FwpmBfeStateSubscribeChanges0(DeviceObject, OnBfeStateChange, &WfpContext, &BfeChangeHandle);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpmBfeStateSubscribeChanges0 failed: %!STATUS!", status);
        BfeChangeHandle = nullptr;
        return status;
    }
    // A notification that arrives meanwhile waits at the gate and is applied after this
    // open, so both orders end with the session open exactly while BFE runs.
    EnterEngineGate();
    if (FwpmBfeStateGet0() == FWPM_SERVICE_RUNNING) {
        status = OpenEngine(&WfpContext.EngineHandle);
        // BFE began to stop after the query: as if it had stopped before it.
        if (!NT_SUCCESS(status) && FwpmBfeStateGet0() != FWPM_SERVICE_RUNNING) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                        "BFE stopped while the session opened (%!STATUS!); it opens when BFE runs", status);
            status = STATUS_SUCCESS;
        }
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "BFE is not running; the session opens when it starts");
    }
    LeaveEngineGate();
    return status;
}

_Use_decl_annotations_
NTSTATUS WfpInitializeEx(PDEVICE_OBJECT DeviceObject, PCWFP_CALLOUT_GROUP CalloutGroups,
                         PWFP_QUERY_PROCESS_INTERCEPT QueryProcessIntercept,
                         PWFP_SEND_CALLBACK_REQUEST SendCallbackRequest,
                         PWFP_CANCEL_CALLBACK_REQUEST CancelCallbackRequest)
{
    NTSTATUS status;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "WFP registration starts");
    if (DeviceObject == nullptr || CalloutGroups == nullptr || QueryProcessIntercept == nullptr ||
        SendCallbackRequest == nullptr || CancelCallbackRequest == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "WfpInitialize: a device object, group table or callback is missing");
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    InitPendedRedirects();
    InitHeldAuthOperations();

    // WfpContext is complete before BFE or a classify can see it.
    ObReferenceObject(DeviceObject);
    WfpContext.DeviceObject = DeviceObject;
    WfpContext.QueryProcessIntercept = QueryProcessIntercept;
    WfpContext.SendCallbackRequest = SendCallbackRequest;
    WfpContext.CancelCallbackRequest = CancelCallbackRequest;
    status = CreateRedirectHandle(&WfpContext.RedirectHandle);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    status = FollowBfeState(DeviceObject);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    RegisteredCalloutGroups = CalloutGroups;
    status = RegisterWfpCalloutGroups(DeviceObject, CalloutGroups);

Exit:
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WFP registration failed: %!STATUS!", status);
        WfpUninitialize();
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "WFP registration done");
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS WfpInitialize(PDEVICE_OBJECT DeviceObject, PWFP_QUERY_PROCESS_INTERCEPT QueryProcessIntercept,
                       PWFP_SEND_CALLBACK_REQUEST SendCallbackRequest,
                       PWFP_CANCEL_CALLBACK_REQUEST CancelCallbackRequest)
{
    return WfpInitializeEx(DeviceObject, WfpCalloutGroups, QueryProcessIntercept, SendCallbackRequest,
                           CancelCallbackRequest);
}

// Pause between two unsubscription attempts: 10 ms, relative.
#define UNSUBSCRIBE_RETRY_DELAY_100NS (-10LL * 1000 * 10)

// A subscription must be given back before the driver unloads: while WFP keeps it, BFE may
// call OnBfeStateChange with WfpContext at any time. A refusal leaves it in force, so it is
// asked again (traced each time) until WFP lets it go; nothing it reads is touched before.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID UnsubscribeBfeChanges(VOID)
{
    NTSTATUS status;
    LARGE_INTEGER delay;
    ULONG refusals = 0;

    if (BfeChangeHandle == nullptr) {
        return;
    }
    for (;;) {
        status = FwpmBfeStateUnsubscribeChanges0(BfeChangeHandle);
        if (NT_SUCCESS(status)) {
            break;
        }
        ++refusals;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "FwpmBfeStateUnsubscribeChanges0 refused: %!STATUS! (refusal %u); asking again", status, refusals);
        delay.QuadPart = UNSUBSCRIBE_RETRY_DELAY_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    BfeChangeHandle = nullptr;
}

_Use_decl_annotations_
VOID WfpUninitialize(VOID)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "WFP teardown starts");
    // Pended redirects use the callback channel, the redirect handle and the device
    // object: they finish (unredirected if still waiting for the agent) first.
    RundownPendedRedirects();
    // Unsubscribing waits for a notification in progress, so from here on only this
    // thread touches the session.
    UnsubscribeBfeChanges();

    // Held connections are completed before their contexts go: a reply still on its way
    // is withdrawn, and the re-authorization leaves the connection to the other filters.
    ReleaseHeldAuthOperations();

    // WFP refuses to unregister a callout while flows still carry its contexts.
    if (FlowContextDrainStep != nullptr) {
        DrainFlowContextTable(FlowContextDrainStep, nullptr);
    }

    if (RegisteredCalloutGroups != nullptr) {
        UnregisterWfpCalloutGroups(RegisteredCalloutGroups);
        RegisteredCalloutGroups = nullptr;
    }

    ReleaseWfpContext(&WfpContext);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "WFP teardown done");
}
