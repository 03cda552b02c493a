/*
 * wfp_callouts.h
 *
 * Registration of the driver's WFP callouts. A callout group is a row of the group table
 * (wfp_callout_groups.h): its keys, its three callout functions and the driver-wide slots
 * that hold one registration record per key. Groups register in table order and each
 * group unwinds itself when one of its callouts fails; teardown unregisters every slot
 * that is set and returns only once WFP has let go of each one.
 */
#pragma once

#include <ntddk.h>
#include <fwpsk.h>
#include <fwpmk.h>

/* One registered callout: the description given to WFP and the run-time id it returned. */
typedef struct _CALLOUT_REGISTRATION {
    FWPS_CALLOUT1 Callout;  // key (a copy of the group's), flags and the three functions
    UINT32 CalloutId;       // run-time id from FwpsCalloutRegister1
} CALLOUT_REGISTRATION, *PCALLOUT_REGISTRATION;

/* One callout group: every callout of a group shares the three functions. */
typedef struct _WFP_CALLOUT_GROUP {
    PCSTR Name;                                        // for traces
    UINT32 Count;                                      // number of keys and of slots
    const GUID *const *Keys;                           // Count callout keys, in slot order
    FWPS_CALLOUT_CLASSIFY_FN1 ClassifyFn;              // classifyFn of every callout
    FWPS_CALLOUT_NOTIFY_FN1 NotifyFn;                  // notifyFn of every callout
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 FlowDeleteFn;  // null where the group keeps no flow context
    PCALLOUT_REGISTRATION *Registrations;              // Count driver-wide slots, null = not registered
} WFP_CALLOUT_GROUP, *PWFP_CALLOUT_GROUP;
typedef const WFP_CALLOUT_GROUP *PCWFP_CALLOUT_GROUP;

EXTERN_C_START

/*
 * Allocates a registration record into *Registration and registers the callout with WFP.
 * On failure the record is gone again and *Registration is null: STATUS_NO_MEMORY when it
 * cannot be allocated, else the status of FwpsCalloutRegister1.
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS RegisterCallout(_In_ PDEVICE_OBJECT DeviceObject, _In_ const GUID *Key,
                         _In_ FWPS_CALLOUT_CLASSIFY_FN1 ClassifyFn, _In_ FWPS_CALLOUT_NOTIFY_FN1 NotifyFn,
                         _In_opt_ FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 FlowDeleteFn,
                         _Outptr_result_maybenull_ PCALLOUT_REGISTRATION *Registration);

/*
 * Unregisters the callout of *Registration by its key, then frees the record and clears
 * the slot. A refusal (STATUS_DEVICE_BUSY while flows carry its contexts, STATUS_FWP_IN_USE
 * while another thread registers or unregisters it, or any other failure) is traced with
 * the key and the call is made again, after removing the flow contexts left, until WFP
 * lets the callout go: the record is never freed while WFP may still call the callout.
 * Returns STATUS_SUCCESS, or STATUS_FWP_CALLOUT_NOT_FOUND when WFP no longer had the key.
 * Does nothing for a null slot.
 */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UnregisterCallout(_Inout_ PCALLOUT_REGISTRATION *Registration);

/*
 * Registers Keys[i] into Registrations[i] for every i below Count. At the first failure
 * the whole table is unregistered again and that failure is returned.
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS RegisterCalloutGroup(_In_ PDEVICE_OBJECT DeviceObject, _In_ UINT32 Count,
                              _In_reads_(Count) const GUID *const *Keys, _In_ FWPS_CALLOUT_CLASSIFY_FN1 ClassifyFn,
                              _In_ FWPS_CALLOUT_NOTIFY_FN1 NotifyFn,
                              _In_opt_ FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 FlowDeleteFn,
                              _Inout_updates_(Count) PCALLOUT_REGISTRATION *Registrations);

/* Unregisters every set slot; returns STATUS_FWP_CALLOUT_NOT_FOUND if a key was gone, or success. */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UnregisterCalloutGroup(_In_ UINT32 Count, _Inout_updates_(Count) PCALLOUT_REGISTRATION *Registrations);

/* RegisterCalloutGroup for one row of a group table; a failing group unregisters itself. */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS RegisterWfpCalloutGroup(_In_ PDEVICE_OBJECT DeviceObject, _In_ PCWFP_CALLOUT_GROUP Group);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UnregisterWfpCalloutGroup(_In_ PCWFP_CALLOUT_GROUP Group);

/*
 * A group table ends with a row whose Keys is null. Registration goes row by row and stops
 * at the first failing group (earlier groups stay registered: the caller's teardown
 * unregisters them); unregistration visits every row, unregisters every callout and
 * returns the last failure (only a key that WFP no longer had).
 */
_IRQL_requires_(PASSIVE_LEVEL)
_Must_inspect_result_
NTSTATUS RegisterWfpCalloutGroups(_In_ PDEVICE_OBJECT DeviceObject, _In_ PCWFP_CALLOUT_GROUP Groups);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UnregisterWfpCalloutGroups(_In_ PCWFP_CALLOUT_GROUP Groups);

EXTERN_C_END
