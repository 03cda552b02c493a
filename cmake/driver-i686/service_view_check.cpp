/*
 * service_view_check.cpp (i686 driver build only)
 *
 * qvr_ioctl.h as the agent's 32-bit service compiles it: in user mode, after mingw-w64's
 * genuine <windows.h> and <winioctl.h>, with no kernel header. The header's own checks run
 * here too: the control codes against the genuine CTL_CODE, every record offset and size.
 */
#include <windows.h>
#include <winioctl.h>

#include "qvr_ioctl.h"

#ifdef _WDMDDK_
#error "qvr_ioctl.h pulled in a kernel header"
#endif

static_assert(sizeof(void *) == 4, "the 32-bit service");
static_assert(IOCTL_QVR_SET_PROCESS_RULES == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS),
              "the device type is FILE_DEVICE_UNKNOWN");
