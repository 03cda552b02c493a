/*
 * kmdf_fixture.h
 *
 * The fixture of winsim's framework tests: a fresh test driver per test, loaded on demand
 * and unloaded at the end with the verifier's leak report, plus small I/O helpers.
 */
#pragma once

#include "kmdf_test_driver.h"

#include <winsim/driver.h>
#include <winsim/io.h>
#include <winsim/verifier.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

class KmdfTest : public testing::Test {
protected:
    static constexpr std::chrono::milliseconds kWait{5000};

    void SetUp() override { kmdftest::ResetTestDriver(); }

    void TearDown() override
    {
        if (winsim::IsDriverLoaded(kmdftest::kService)) {
            winsim::UnloadResult result = winsim::UnloadDriver(kmdftest::kService);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_TRUE(result.leftBehind.empty());
        }
    }

    NTSTATUS Load() { return winsim::LoadDriver(kmdftest::TestDriverEntry, kmdftest::kService); }

    winsim::Handle Open(winsim::Identity identity = winsim::Identity::LocalSystem,
                        ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE)
    {
        winsim::OpenResult result = winsim::OpenDevice(kmdftest::kWin32Name, identity, access);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return result.handle;
    }

    static std::vector<std::uint8_t> Bytes(const std::string &text) { return {text.begin(), text.end()}; }

    static std::vector<std::uint8_t> Ulongs(ULONG first, ULONG second)
    {
        std::vector<std::uint8_t> bytes(8);
        std::memcpy(bytes.data(), &first, 4);
        std::memcpy(bytes.data() + 4, &second, 4);
        return bytes;
    }
};
