/*
 * wdf.h (winsim)
 *
 * The Kernel-Mode Driver Framework 1.11 as a non-PnP driver sees it: framework driver,
 * control device, I/O queues, requests and object contexts. Calls carry their documented
 * names and signatures without the hidden WdfDriverGlobals argument; winsim implements
 * them in user mode and checks the caller as a driver verifier would.
 */
#pragma once

#include <ntddk.h>

#include <wdftypes.h>
#include <wdfobject.h>
#include <wdfdriver.h>
#include <wdfdevice.h>
#include <wdfcontrol.h>
#include <wdfio.h>
#include <wdfrequest.h>
