/*
 * control_requests.h
 *
 * The service's I/O controls on the control device: the process rules, the QUIC switch
 * and the callback channel's carrier requests.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

// I/O control callback of the control device's default (parallel) queue; PASSIVE_LEVEL in
// the service's thread. Every request is completed here except those the callback channel
// takes over.
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ControlDeviceIoControl;
