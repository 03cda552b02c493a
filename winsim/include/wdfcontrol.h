/*
 * wdfcontrol.h (winsim)
 *
 * Control devices: the init structure of a legacy (non-PnP) device with its security
 * descriptor, and the call that lets I/O reach the device once it is fully set up.
 */
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

// Returns NULL on any failure (allocation, an SDDL string the framework rejects).
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
WDFAPI PWDFDEVICE_INIT WdfControlDeviceInitAllocate(_In_ WDFDRIVER Driver, _In_ CONST UNICODE_STRING *SDDLString);

// Until this is called the device is initializing: the I/O manager refuses opens of it.
_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfControlFinishInitializing(_In_ WDFDEVICE Device);

WDF_EXTERN_C_END
