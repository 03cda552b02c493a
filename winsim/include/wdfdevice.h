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

// Framework file objects. winsim stands in for EvtFileCleanup only: a driver that asks for
// EvtDeviceFileCreate, EvtFileClose or file-object context gets a verifier finding.
typedef _Function_class_(EVT_WDF_DEVICE_FILE_CREATE) _IRQL_requires_same_ _IRQL_requires_max_(PASSIVE_LEVEL)
VOID NTAPI EVT_WDF_DEVICE_FILE_CREATE(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request, _In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE *PFN_WDF_DEVICE_FILE_CREATE;

typedef _Function_class_(EVT_WDF_FILE_CLOSE) _IRQL_requires_same_ _IRQL_requires_max_(PASSIVE_LEVEL)
VOID NTAPI EVT_WDF_FILE_CLOSE(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE *PFN_WDF_FILE_CLOSE;

typedef _Function_class_(EVT_WDF_FILE_CLEANUP) _IRQL_requires_same_ _IRQL_requires_max_(PASSIVE_LEVEL)
VOID NTAPI EVT_WDF_FILE_CLEANUP(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP *PFN_WDF_FILE_CLEANUP;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;                                        // sizeof(WDF_FILEOBJECT_CONFIG)
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;    // create of a handle
    PFN_WDF_FILE_CLOSE EvtFileClose;                   // the file object goes
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;               // the last handle was closed
    WDF_TRI_STATE AutoForwardCleanupClose;             // filter drivers only
    WDF_FILEOBJECT_CLASS FileObjectClass;              // how the framework keeps its file objects
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(_Out_ PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            _In_opt_ PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            _In_opt_ PFN_WDF_FILE_CLOSE EvtFileClose,
                                            _In_opt_ PFN_WDF_FILE_CLEANUP EvtFileCleanup)
{
    RtlZeroMemory(FileEventCallbacks, sizeof(WDF_FILEOBJECT_CONFIG));
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfDeviceInitSetFileObjectConfig(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                             _In_opt_ PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);

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
