/*
 * driver_entry.h
 *
 * The driver's entry point and its unload callback.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

/*
 * Starts the driver: tracing, the framework driver object, the control device with its
 * queues and link, the static objects, the process policy, the WFP registration and the
 * callback table, in this order; then lets I/O reach the control device. The first failing
 * step stops the sequence; everything built before it is torn down again and its status
 * is returned.
 */
EXTERN_C DRIVER_INITIALIZE DriverEntry;

// Takes everything down in the reverse order; the framework then deletes the control
// device and its queues.
EVT_WDF_DRIVER_UNLOAD DriverUnload;
