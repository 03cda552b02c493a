// The driver's control device object as its WFP side holds it, for tests that need a device
// object of the driver (work items) but include the user-mode fwpmu.h, which the driver's
// fwpmk.h-based headers cannot share a translation unit with.
#include "driver/flow/wfp_lifecycle.h"

PDEVICE_OBJECT DriverDeviceObject() { return WfpContext.DeviceObject; }
