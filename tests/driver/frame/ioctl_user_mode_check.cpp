// qvr_ioctl.h as a user-mode service includes it: after <windows.h> and <winioctl.h>, which
// give the base types, C_ASSERT, FIELD_OFFSET and CTL_CODE. No kernel header is included
// here, so a dependency of the header on one does not compile. The header's own static
// checks of every offset and size run in this translation unit too.
#include <ntdef.h>

#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#include "qvr_ioctl.h"

#ifdef _WDMDDK_
#error "a kernel header was pulled in"
#endif
