/*
 * kernel_string_test.cpp
 *
 * Counted strings and the safe string lengths: lengths in bytes, case-insensitive order
 * beyond ASCII, copy truncation, and unterminated input.
 */
#include <ntddk.h>
#include <ntstrsafe.h>

#include <gtest/gtest.h>

namespace {

UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

TEST(KernelString, InitCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING string = Counted(u"abc");
    EXPECT_EQ(string.Length, 6);
    EXPECT_EQ(string.MaximumLength, 8);
    RtlInitUnicodeString(&string, nullptr);
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 0);
    EXPECT_EQ(string.Buffer, nullptr);
}

struct CompareCase {
    const char16_t *left;
    const char16_t *right;
    BOOLEAN caseInsensitive;
    int sign;  // expected sign of RtlCompareUnicodeString
};

class CompareTest : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareTest, SignMatches)
{
    const CompareCase &c = GetParam();
    UNICODE_STRING left = Counted(c.left);
    UNICODE_STRING right = Counted(c.right);
    LONG result = RtlCompareUnicodeString(&left, &right, c.caseInsensitive);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
    EXPECT_EQ(RtlEqualUnicodeString(&left, &right, c.caseInsensitive), c.sign == 0 ? TRUE : FALSE);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompareTest,
    testing::Values(CompareCase{u"NOTEPAD.EXE", u"notepad.exe", TRUE, 0}, CompareCase{u"NOTEPAD.EXE", u"notepad.exe", FALSE, -1},
                    CompareCase{u"caf\u00e9.exe", u"CAF\u00c9.EXE", TRUE, 0},
                    CompareCase{u"\u0434\u043e\u043c", u"\u0414\u041e\u041c", TRUE, 0}, CompareCase{u"ab", u"abc", TRUE, -1},
                    CompareCase{u"b", u"abc", FALSE, 1}, CompareCase{u"", u"", FALSE, 0}));

TEST(KernelString, CopyTruncatesToTheDestinationAndTerminatesWhenThereIsRoom)
{
    char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
    UNICODE_STRING destination{0, sizeof(buffer), reinterpret_cast<PWCH>(buffer)};
    UNICODE_STRING source = Counted(u"abcdef");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, sizeof(buffer));
    EXPECT_EQ(buffer[3], u'd');
    UNICODE_STRING shorter = Counted(u"ab");
    RtlCopyUnicodeString(&destination, &shorter);
    EXPECT_EQ(destination.Length, 4);
    EXPECT_EQ(buffer[2], 0);
}

TEST(KernelString, AppendFailsWhenTheResultDoesNotFit)
{
    char16_t buffer[5] = {};
    UNICODE_STRING destination{0, sizeof(buffer), reinterpret_cast<PWCH>(buffer)};
    UNICODE_STRING part = Counted(u"abc");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &part), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &part), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Length, 6);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination, u"de"), STATUS_SUCCESS);
    EXPECT_EQ(destination.Length, 10);
    UNICODE_STRING prefix = Counted(u"ABC");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &destination, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &destination, FALSE));
}

TEST(KernelSafeString, LengthNeedsATerminatorWithinTheMaximum)
{
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(u"abc", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(RtlStringCbLengthW(u"abc", 7, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
}

TEST(KernelSafeString, CopyTruncatesAndReportsOverflow)
{
    char16_t buffer[3];
    EXPECT_EQ(RtlStringCchCopyW(reinterpret_cast<PWSTR>(buffer), 3, u"abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[1], u'b');
    EXPECT_EQ(RtlStringCchCopyW(reinterpret_cast<PWSTR>(buffer), 3, u"ab"), STATUS_SUCCESS);
}

TEST(KernelMemory, CompareMemoryCountsTheEqualPrefix)
{
    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_TRUE(RtlEqualMemory(a, b, 3));
}

}  // namespace

namespace {

TEST(KernelDebugPrint, UnderstandsTheKernelsFormatExtensions)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Device\\x\u00e9.exe");
    ANSI_STRING name;
    RtlInitString(&name, "ansi");
    testing::internal::CaptureStderr();
    DbgPrint("%wZ|%ws|%Z|%I64u|%ld|%lx|%08X|%s|%%\n", &path, u"wide", &name, 0x100000000ULL, -5,
             static_cast<ULONG>(0xFFFFFFFF), 0xBEEFu, "narrow");
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "\\Device\\x\xC3\xA9.exe|wide|ansi|4294967296|-5|ffffffff|0000BEEF|narrow|%\n");
}

}  // namespace
