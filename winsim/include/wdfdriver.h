/*
 * wdfdriver.h (winsim)
 *
 * The framework driver object: created first in DriverEntry, root of every other
 * framework object of the driver, and the owner of the non-PnP unload callback.
 */
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef _Function_class_(EVT_WDF_DRIVER_DEVICE_ADD) _IRQL_requires_same_ _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS NTAPI EVT_WDF_DRIVER_DEVICE_ADD(_In_ WDFDRIVER Driver, _Inout_ PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD *PFN_WDF_DRIVER_DEVICE_ADD;

typedef _Function_class_(EVT_WDF_DRIVER_UNLOAD) _IRQL_requires_same_ _IRQL_requires_max_(PASSIVE_LEVEL)
VOID NTAPI EVT_WDF_DRIVER_UNLOAD(_In_ WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD *PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;                                   // sizeof(WDF_DRIVER_CONFIG)
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;  // PnP add-device; null for non-PnP
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;        // without it a non-PnP driver cannot unload
    ULONG DriverInitFlags;                        // WDF_DRIVER_INIT_FLAGS
    ULONG DriverPoolTag;                          // 0: the framework's default tag
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(_Out_ PWDF_DRIVER_CONFIG Config,
                                        _In_opt_ PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
WDFAPI NTSTATUS WdfDriverCreate(_In_ PDRIVER_OBJECT DriverObject, _In_ PCUNICODE_STRING RegistryPath,
                                _In_opt_ PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                _In_ PWDF_DRIVER_CONFIG DriverConfig, _Out_opt_ WDFDRIVER *Driver);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI PDRIVER_OBJECT WdfDriverWdmGetDriverObject(_In_ WDFDRIVER Driver);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI WDFDRIVER WdfGetDriver(VOID);

WDF_EXTERN_C_END
