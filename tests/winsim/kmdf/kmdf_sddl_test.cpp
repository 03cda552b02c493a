/*
 * kmdf_sddl_test.cpp
 *
 * The device-object SDDL subset winsim understands, and the access check of the three
 * caller identities against it, including the generic mapping on both sides.
 */
#include "kmdf/sddl_access.h"

#include <gtest/gtest.h>

using winsim::Identity;
using winsim::fx::CheckDeviceAccess;
using winsim::fx::DeviceSecurity;
using winsim::fx::ParseDeviceSddl;

TEST(KmdfSddl, AcceptsOnlyTheDeviceObjectSubset)
{
    const struct {
        const char *sddl;
        bool accepted;
    } cases[] = {
        {"D:P(A;;GA;;;SY)(A;;GA;;;BA)", true},
        {"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)", true},
        {"D:P(A;;FA;;;S-1-5-21-1-2-3-500)", true},
        {"D:(A;;GA;;;SY)", false},             // DACL not protected
        {"D:P", false},                         // no ACE
        {"D:P(D;;GA;;;WD)", false},             // deny ACEs are not stood in
        {"D:P(A;CI;GA;;;SY)", false},           // inheritance flags
        {"D:P(A;;0x1f01ff;;;SY)", false},       // numeric rights
        {"D:P(A;;GA;;;XX)", false},             // unknown alias
        {"D:P(A;;GA;;;SY", false},              // unterminated
        {"O:BAD:P(A;;GA;;;SY)", false},         // owner part
        {"D:P(A;;RC;;;SY)", false},             // rights outside the file subset
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sddl);
        DeviceSecurity security;
        std::string why;
        EXPECT_EQ(ParseDeviceSddl(c.sddl, &security, &why), c.accepted);
        EXPECT_EQ(why.empty(), c.accepted);
    }
}

TEST(KmdfSddl, AccessCheckUsesUserAndGroupSids)
{
    const struct {
        const char *sddl;
        Identity identity;
        ACCESS_MASK desired;
        NTSTATUS expected;
        ACCESS_MASK granted;
    } cases[] = {
        {"D:P(A;;GA;;;SY)(A;;GA;;;BA)", Identity::LocalSystem, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, 0x0012019F},
        {"D:P(A;;GA;;;SY)(A;;GA;;;BA)", Identity::Administrator, GENERIC_ALL, STATUS_SUCCESS, 0x001F01FF},
        {"D:P(A;;GA;;;SY)(A;;GA;;;BA)", Identity::User, GENERIC_READ, STATUS_ACCESS_DENIED, 0},
        {"D:P(A;;GA;;;SY)", Identity::Administrator, GENERIC_READ, STATUS_ACCESS_DENIED, 0},
        {"D:P(A;;GRGW;;;WD)", Identity::User, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, 0x0012019F},
        {"D:P(A;;GRGW;;;WD)", Identity::User, GENERIC_ALL, STATUS_ACCESS_DENIED, 0},
        {"D:P(A;;FR;;;BU)", Identity::User, GENERIC_READ, STATUS_SUCCESS, 0x00120089},
        {"D:P(A;;FR;;;BU)", Identity::User, MAXIMUM_ALLOWED, STATUS_SUCCESS, 0x00120089},
        {"D:P(A;;FR;;;BU)", Identity::LocalSystem, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.sddl) + " identity " + std::to_string(static_cast<int>(c.identity)));
        DeviceSecurity security;
        std::string why;
        ASSERT_TRUE(ParseDeviceSddl(c.sddl, &security, &why)) << why;
        ACCESS_MASK granted = 0xFFFFFFFF;
        EXPECT_EQ(CheckDeviceAccess(security, c.identity, c.desired, &granted), c.expected);
        EXPECT_EQ(granted, c.granted);
    }
}
