/*
 * sddl_access.h (winsim, KMDF stand-in)
 *
 * The device-object security descriptor as a control device's SDDL string gives it, the
 * tokens of winsim's caller identities, and the I/O manager's access check of an open.
 * Only the SDDL forms that device objects use are understood; anything else is refused.
 */
#pragma once

#include <ntddk.h>
#include <winsim/io.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim::fx {

// One access-allowed ACE, its mask already mapped through the file generic mapping.
struct AllowAce {
    std::string sid;     // "S-1-5-18"
    ACCESS_MASK mask;    // specific and standard rights
};

struct DeviceSecurity {
    std::string text;                 // the SDDL string as given
    std::vector<AllowAce> allowAces;  // the protected DACL's ACEs, in order
};

// Parses "D:P" followed by "(A;;<rights>;;;<sid>)" entries. Rights: GA GR GW GX FA FR FW FX
// (concatenated); SIDs: SY BA BU WD AU IU LS NS RC or "S-1-...". On failure returns false
// and says why.
bool ParseDeviceSddl(std::string_view sddl, DeviceSecurity *out, std::string *why);

// Maps GENERIC_* bits through the file generic mapping (FILE_GENERIC_READ, ...).
ACCESS_MASK MapFileGenericAccess(ACCESS_MASK access);

// The access check of an open: STATUS_SUCCESS with the granted access, or
// STATUS_ACCESS_DENIED.
NTSTATUS CheckDeviceAccess(const DeviceSecurity &security, Identity identity, ACCESS_MASK desired,
                           ACCESS_MASK *granted);

// The identity's user and group SIDs, for messages.
std::string DescribeIdentity(Identity identity);

}  // namespace winsim::fx
