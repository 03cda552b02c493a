/*
 * wdfdevice.h (winsim)
 *
 * Device initialisation and the framework device object: characteristics, name, device
 * type, creation from an init structure, the symbolic link and the WDM device object
 * underneath. Only control devices are stood in (the driver has no PnP devices).
 */
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfDeviceInitSetCharacteristics(_In_ PWDFDEVICE_INIT DeviceInit, _In_ ULONG DeviceCharacteristics,
                                            _In_ BOOLEAN OrInValues);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfDeviceInitSetDeviceType(_In_ PWDFDEVICE_INIT DeviceInit, _In_ DEVICE_TYPE DeviceType);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfDeviceInitSetExclusive(_In_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsExclusive);

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
WDFAPI NTSTATUS WdfDeviceInitAssignName(_In_ PWDFDEVICE_INIT DeviceInit, _In_opt_ PCUNICODE_STRING DeviceName);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfDeviceInitFree(_In_ PWDFDEVICE_INIT DeviceInit);

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
WDFAPI NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT *DeviceInit, _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                _Out_ WDFDEVICE *Device);

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
WDFAPI NTSTATUS WdfDeviceCreateSymbolicLink(_In_ WDFDEVICE Device, _In_ PCUNICODE_STRING SymbolicLinkName);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(_In_ WDFDEVICE Device);

WDF_EXTERN_C_END
