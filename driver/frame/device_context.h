/*
 * device_context.h
 *
 * The control device's typed context, QVR_DRV_DEVICE_CONTEXT: the manual queue that holds
 * the callback requests the service parks, the last callback request id handed out, the
 * event that tells a waiting sender a parked request has arrived and the one that tells it
 * to give up because the driver is going down.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

typedef struct _QVR_DRV_DEVICE_CONTEXT {
    WDFQUEUE PendingQueue;  // manual queue of parked IOCTL_QVR_CALLBACK requests
    DECLSPEC_ALIGN(8)
    volatile LONG64 NextRequestId;  // last request id handed out; changed by interlocked increment only
    KEVENT RequestAvailableEvent;   // synchronization event: PendingQueue became non-empty
    KEVENT SendersStopEvent;        // notification event: the driver is going down, senders stop waiting
} QVR_DRV_DEVICE_CONTEXT, *PQVR_DRV_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE(QVR_DRV_DEVICE_CONTEXT)

// Ready notification of PendingQueue: signals RequestAvailableEvent.
EVT_WDF_IO_QUEUE_STATE PendingQueueReady;
