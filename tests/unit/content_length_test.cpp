// Content-Length values and the check that a body arrived in full.
#include <gtest/gtest.h>

#include <cstdint>

#include "transfer/content_length.h"
#include "transfer/download_resume.h"

TEST(ContentLength, ParsesPlainDecimalAndRejectsEverythingElse)
{
    struct Case {
        const wchar_t* text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {L"0", true, 0},
        {L"1000001", true, 1000001},
        {L" 268435456\t", true, 268435456},
        {L"18446744073709551615", true, UINT64_MAX},
        {L"18446744073709551616", false, 0},  // one past 64 bits
        {L"99999999999999999999", false, 0},
        {L"", false, 0},
        {L"  ", false, 0},
        {L"-5", false, 0},
        {L"+5", false, 0},
        {L"12 34", false, 0},
        {L"0x10", false, 0},
        {L"12abc", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 777;
        EXPECT_EQ(ParseContentLength(c.text, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 777u) << c.text;  // untouched on failure
    }
}

TEST(ContentLength, ShortBodyIsIncompleteOnlyWhenLengthAnnounced)
{
    EXPECT_TRUE(BodyLengthComplete(false, 0, 5));
    EXPECT_TRUE(BodyLengthComplete(false, 9000, 5));  // no header: the length is not known
    EXPECT_TRUE(BodyLengthComplete(true, 3000000, 3000000));
    EXPECT_FALSE(BodyLengthComplete(true, 3000000, 2999999));
    EXPECT_FALSE(BodyLengthComplete(true, 3000000, 0));
}

TEST(DownloadResume, RoomMissingIsWhatIsStillToComeBeyondTheFreeSpace)
{
    struct Case {
        uint64_t free, size, have, missing;
    } cases[] = {
        {5000000, 3000000, 0, 0},
        {3000000, 3000000, 0, 0},
        {2999999, 3000000, 0, 1},
        {1000000, 3000000, 2000000, 0},  // a resume needs only the rest
        {0, 3000000, 3000000, 0},
        {0, 0, 0, 0},  // no size published: nothing to compare
        {1u << 30, UINT64_MAX, 0, UINT64_MAX - (1u << 30)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MissingRoom(c.free, c.size, c.have), c.missing) << c.free << " " << c.size << " " << c.have;
    }
}
