/*
 * wdfio.h (winsim)
 *
 * Framework I/O queues: configuration, the request-handler role types, creation, the
 * manual queue's ready notification and retrieval of its next request.
 */
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEFAULT) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_DEFAULT(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT *PFN_WDF_IO_QUEUE_IO_DEFAULT;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_STOP) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_STOP(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP *PFN_WDF_IO_QUEUE_IO_STOP;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_RESUME) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_RESUME(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME *PFN_WDF_IO_QUEUE_IO_RESUME;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_READ) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_READ(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ *PFN_WDF_IO_QUEUE_IO_READ;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_WRITE) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_WRITE(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE *PFN_WDF_IO_QUEUE_IO_WRITE;

// Note the order: output length before input length.
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t OutputBufferLength,
                                        _In_ size_t InputBufferLength, _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL *PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                                 _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                                 _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL *PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;

typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE *PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;

typedef _Function_class_(EVT_WDF_IO_QUEUE_STATE) _IRQL_requires_same_ _IRQL_requires_max_(DISPATCH_LEVEL)
VOID NTAPI EVT_WDF_IO_QUEUE_STATE(_In_ WDFQUEUE Queue, _In_ WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE *PFN_WDF_IO_QUEUE_STATE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;                                   // sizeof(WDF_IO_QUEUE_CONFIG)
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;      // sequential, parallel or manual
    WDF_TRI_STATE PowerManaged;                   // never power-managed on a control device
    BOOLEAN AllowZeroLengthRequests;              // reads and writes only
    BOOLEAN DefaultQueue;                         // receives every request not routed elsewhere
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;     // fallback handler
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;           // read handler
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;         // write handler
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;  // I/O control handler
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;  // internal control handler
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;           // power stop of a presented request
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;       // power resume of a presented request
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;  // cancel of a requeued request
    union {
        struct {
            ULONG NumberOfPresentedRequests;      // (ULONG)-1: unlimited
        } Parallel;
    } Settings;                                   // dispatch-type settings
    WDFDRIVER Driver;                             // class extensions only; NULL
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT(_Out_ PWDF_IO_QUEUE_CONFIG Config,
                                          _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(_Out_ PWDF_IO_QUEUE_CONFIG Config,
                                                        _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI NTSTATUS WdfIoQueueCreate(_In_ WDFDEVICE Device, _In_ PWDF_IO_QUEUE_CONFIG Config,
                                 _In_opt_ PWDF_OBJECT_ATTRIBUTES QueueAttributes, _Out_opt_ WDFQUEUE *Queue);

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI WDFDEVICE WdfIoQueueGetDevice(_In_ WDFQUEUE Queue);

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI NTSTATUS WdfIoQueueReadyNotify(_In_ WDFQUEUE Queue, _In_opt_ PFN_WDF_IO_QUEUE_STATE QueueReady,
                                      _In_opt_ WDFCONTEXT Context);

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI NTSTATUS WdfIoQueueRetrieveNextRequest(_In_ WDFQUEUE Queue, _Out_ WDFREQUEST *OutRequest);

WDF_EXTERN_C_END
