// FindByteSequence, the search that finds our context record's marker in a connection's
// redirect records: every position up to the last one that still fits the pattern, and
// nothing for empty or missing arguments.

#include <gtest/gtest.h>

#include "driver/redirect/connect_redirect.h"

#include <string>

namespace {

struct SearchCase {
    const char *name;
    std::string buffer;
    std::string pattern;
    long expected;  // offset of the match, -1 for none
};

TEST(FindByteSequenceTest, FindsTheFirstWholeOccurrence)
{
    const SearchCase cases[] = {
        {"at the start", "QVR_WFP....", "QVR", 0},
        {"at the very end", "....QVR", "QVR", 4},
        {"first of two", "xQVRyQVR", "QVR", 1},
        {"a first byte that matches alone is passed over", "QQVQVR", "QVR", 3},
        {"the pattern cut off by the end", "....QV", "QVR", -1},
        {"buffer shorter than the pattern", "QV", "QVR", -1},
        {"buffer equal to the pattern", "QVR", "QVR", 0},
        {"not present", "abcdef", "QVR", -1},
        {"bytes with zeros", std::string("a\0b\0c", 5), std::string("\0c", 2), 3},
    };
    for (const SearchCase &c : cases) {
        SCOPED_TRACE(c.name);
        const auto *buffer = reinterpret_cast<const UCHAR *>(c.buffer.data());
        const UCHAR *found = FindByteSequence(buffer, reinterpret_cast<const UCHAR *>(c.pattern.data()),
                                              c.buffer.size(), c.pattern.size());
        if (c.expected < 0) {
            EXPECT_EQ(found, nullptr);
        } else {
            EXPECT_EQ(found, buffer + c.expected);
        }
    }
}

TEST(FindByteSequenceTest, MissingOrEmptyArgumentsFindNothing)
{
    const UCHAR buffer[] = {1, 2, 3};
    const UCHAR pattern[] = {2};
    EXPECT_EQ(FindByteSequence(nullptr, pattern, 3, 1), nullptr);
    EXPECT_EQ(FindByteSequence(buffer, nullptr, 3, 1), nullptr);
    EXPECT_EQ(FindByteSequence(buffer, pattern, 0, 1), nullptr);
    EXPECT_EQ(FindByteSequence(buffer, pattern, 3, 0), nullptr);
    EXPECT_EQ(FindByteSequence(buffer, pattern, 3, 1), buffer + 1);
}

}  // namespace
