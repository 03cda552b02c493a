// The process rule store on its own: which image paths it intercepts under each mode, the
// records it refuses (leaving the old rules in force), allocation failures, and lookups
// that race with replacements.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <winsim/verifier.h>

#include "driver/policy/rule_store.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// The names area of a rules record: each name followed by a zero character.
std::vector<WCHAR> Area(const std::vector<std::u16string> &names)
{
    std::vector<WCHAR> area;
    for (const std::u16string &name : names) {
        area.insert(area.end(), name.begin(), name.end());
        area.push_back(0);
    }
    return area;
}

NTSTATUS Replace(BOOLEAN mode, const std::vector<std::u16string> &names)
{
    std::vector<WCHAR> area = Area(names);
    return ReplaceRules(area.data(), area.size() * sizeof(WCHAR), static_cast<ULONG>(names.size()), mode);
}

bool Intercepted(const std::u16string &path)
{
    UNICODE_STRING string;
    string.Buffer = const_cast<PWCH>(path.data());
    string.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return IsImageIntercepted(&string) != FALSE;
}

class RuleStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(InitRuleStore(), STATUS_SUCCESS); }
    void TearDown() override
    {
        FreeRuleStore();
        EXPECT_EQ(RuleStore, nullptr);
        EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 0u);
    }
};

TEST_F(RuleStoreTest, InitialStoreInterceptsEveryImageWithAFileName)
{
    EXPECT_TRUE(Intercepted(u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe"));
    EXPECT_TRUE(Intercepted(u"\\x"));
    EXPECT_FALSE(Intercepted(u"notepad.exe"));
}

struct Case {
    const char *name;
    BOOLEAN mode;
    std::vector<std::u16string> names;
    std::u16string path;
    bool intercepted;
};

class RuleStoreCaseTest : public RuleStoreTest, public ::testing::WithParamInterface<Case> {};

TEST_P(RuleStoreCaseTest, JudgesTheLastPathComponent)
{
    ASSERT_EQ(Replace(GetParam().mode, GetParam().names), STATUS_SUCCESS);
    EXPECT_EQ(Intercepted(GetParam().path), GetParam().intercepted);
}

const std::u16string kChrome = u"\\Device\\HarddiskVolume2\\Program Files\\chrome.exe";

INSTANTIATE_TEST_SUITE_P(
    Paths, RuleStoreCaseTest,
    ::testing::Values(
        Case{"ListedIntercepted", TRUE, {u"chrome.exe"}, kChrome, true},
        Case{"UnlistedNotIntercepted", TRUE, {u"firefox.exe"}, kChrome, false},
        Case{"ListedExempt", FALSE, {u"chrome.exe"}, kChrome, false},
        Case{"UnlistedIntercepted", FALSE, {u"firefox.exe"}, kChrome, true},
        Case{"EmptyInterceptListInterceptsNothing", TRUE, {}, kChrome, false},
        Case{"CapitalsMatchLowerCase", TRUE, {u"CHROME.EXE"}, kChrome, true},
        Case{"SlashSeparators", TRUE, {u"chrome.exe"}, u"C:/Program Files/chrome.exe", true},
        Case{"LastOfMixedSeparators", TRUE, {u"b.exe"}, u"\\a.exe/dir\\b.exe", true},
        Case{"DirectoryNameDoesNotCount", TRUE, {u"dir"}, u"\\dir\\b.exe", false},
        Case{"SuffixIsNotAMatch", TRUE, {u"rome.exe"}, kChrome, false},
        Case{"LongerNameIsNotAMatch", TRUE, {u"chrome.exe.bak"}, kChrome, false},
        Case{"TrailingSeparatorNeverIntercepted", FALSE, {}, u"\\Device\\dir\\", false},
        Case{"TrailingSeparatorNeverInterceptedEvenListed", TRUE, {u""}, u"\\Device\\dir\\", false},
        Case{"NoSeparatorNeverIntercepted", FALSE, {}, u"chrome.exe", false},
        Case{"EmptyPathNeverIntercepted", FALSE, {}, u"", false},
        Case{"NonAsciiCaseFolding", TRUE, {u"\u00C9DIT.EXE"}, u"\\x\\\u00E9dit.exe", true}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST_F(RuleStoreTest, RefusalsLeaveTheRulesInForce)
{
    ASSERT_EQ(Replace(TRUE, {u"chrome.exe"}), STATUS_SUCCESS);

    EXPECT_EQ(Replace(FALSE, {u"a.exe", u"A.EXE"}), STATUS_UNSUCCESSFUL);
    std::vector<WCHAR> unterminated = Area({u"a.exe", u"b.exe"});
    unterminated.pop_back();
    EXPECT_EQ(ReplaceRules(unterminated.data(), unterminated.size() * sizeof(WCHAR), 2, FALSE),
              STATUS_INVALID_PARAMETER);
    std::vector<WCHAR> two = Area({u"a.exe", u"b.exe"});
    EXPECT_EQ(ReplaceRules(two.data(), two.size() * sizeof(WCHAR), 3, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReplaceRules(nullptr, 0, 1, FALSE), STATUS_INVALID_PARAMETER);
    // A terminator cut in half by an odd area size is no terminator.
    std::vector<WCHAR> one = Area({u"a.exe"});
    EXPECT_EQ(ReplaceRules(one.data(), one.size() * sizeof(WCHAR) - 1, 1, FALSE), STATUS_INVALID_PARAMETER);
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(two.data());
    EXPECT_EQ(ReplaceRules(bytes + 1, 8, 1, FALSE), STATUS_INVALID_PARAMETER);

    EXPECT_TRUE(Intercepted(kChrome));
    EXPECT_FALSE(Intercepted(u"\\x\\a.exe"));
}

TEST_F(RuleStoreTest, ZeroCountNeedsNoArea)
{
    ASSERT_EQ(Replace(TRUE, {u"chrome.exe"}), STATUS_SUCCESS);
    ASSERT_EQ(ReplaceRules(nullptr, 0, 0, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(Intercepted(u"\\x\\anything.exe"));
}

// A counted string holds at most 32,767 characters, and the store's copy needs one more
// for its terminator: 32,766 is the longest name kept, and it still matches.
TEST_F(RuleStoreTest, LongestNameThatFitsACountedString)
{
    const std::u16string longest(RULE_STORE_MAX_NAME_CHARS, u'n');
    ASSERT_EQ(Replace(TRUE, {longest}), STATUS_SUCCESS);
    EXPECT_TRUE(Intercepted(u"\\" + longest));
    EXPECT_EQ(Replace(TRUE, {longest + u"n"}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Replace(TRUE, {std::u16string(40000, u'n')}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Intercepted(u"\\" + longest));
}

TEST_F(RuleStoreTest, AllocationFailuresKeepTheRulesAndLeakNothing)
{
    ASSERT_EQ(Replace(TRUE, {u"chrome.exe"}), STATUS_SUCCESS);
    const size_t held = winsim::OutstandingAllocations("QVPM");
    for (std::uint64_t n = 1; n <= 5; ++n) {
        winsim::faults::FailNthAllocation(n);
        EXPECT_EQ(Replace(FALSE, {u"a.exe", u"b.exe"}), STATUS_NO_MEMORY) << "allocation " << n;
        winsim::faults::Clear();
        EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), held) << "allocation " << n;
        EXPECT_TRUE(Intercepted(kChrome));
    }
}

TEST(RuleStoreInitTest, FailedCreationLeavesNothing)
{
    for (std::uint64_t n = 1; n <= 3; ++n) {
        winsim::faults::FailNthAllocation(n);
        EXPECT_EQ(InitRuleStore(), STATUS_NO_MEMORY) << "allocation " << n;
        winsim::faults::Clear();
        EXPECT_EQ(RuleStore, nullptr);
        EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 0u);
    }
    FreeRuleStore();  // nothing to free: must do nothing
    ASSERT_EQ(InitRuleStore(), STATUS_SUCCESS);
    FreeRuleStore();
    FreeRuleStore();
    EXPECT_EQ(winsim::OutstandingAllocations("QVPM"), 0u);
}

// Lists A (intercept a0..a63) and B (exempt b0..b63) are swapped back and forth while
// readers look up a name of each list. A complete list with its own mode intercepts every
// "a" name and no "b" name under both lists; any mixture of list and mode, or a list seen
// half built, gives the other answer for at least one of them.
TEST_F(RuleStoreTest, ReadersNeverSeeAMixtureOfOldAndNewRules)
{
    std::vector<std::u16string> listA;
    std::vector<std::u16string> listB;
    for (int i = 0; i < 64; ++i) {
        listA.push_back(u"a" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
                        std::u16string(1, static_cast<char16_t>(u'A' + i / 10)) + u".exe");
        listB.push_back(u"b" + listA.back().substr(1));
    }
    ASSERT_EQ(Replace(TRUE, listA), STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<long> lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            int i = r;
            while (!stop.load()) {
                const std::u16string &a = listA[i % 64];
                const std::u16string &b = listB[(i * 7) % 64];
                if (!Intercepted(u"\\Device\\x\\" + a) || Intercepted(u"\\Device\\y\\" + b)) {
                    ++wrong;
                }
                ++lookups;
                ++i;
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(Replace(round % 2 == 0 ? FALSE : TRUE, round % 2 == 0 ? listB : listA), STATUS_SUCCESS);
    }
    stop = true;
    for (std::thread &reader : readers) {
        reader.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(lookups.load(), 0);
}

}  // namespace
