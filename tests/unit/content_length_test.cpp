// Content-Length values and the check that a body arrived in full.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

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

TEST(DownloadResume, OnlyAStrongValidatorAllowsAResume)
{
    struct Case {
        const wchar_t* etag;
        const wchar_t* lastModified;
        const char* taken;  // nullptr: none
    } cases[] = {
        {L"\"v1-abc\"", L"Tue, 01 Dec 2026 10:00:00 GMT", "\"v1-abc\""},
        {L"W/\"v1-abc\"", L"Tue, 01 Dec 2026 10:00:00 GMT", nullptr},  // weak: no resume at all
        {nullptr, L"Tue, 01 Dec 2026 10:00:00 GMT", "Tue, 01 Dec 2026 10:00:00 GMT"},
        {L"", L"Tue, 01 Dec 2026 10:00:00 GMT", "Tue, 01 Dec 2026 10:00:00 GMT"},
        {L"v1-abc", nullptr, nullptr},  // unquoted
        {L"\"", nullptr, nullptr},
        {L"\"a\r\nX-Injected: 1\"", nullptr, nullptr},
        {nullptr, L"Tue,\n01 Dec", nullptr},
        {nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        char validator[kValidatorBytes] = "old";
        EXPECT_EQ(TakeStrongValidator(c.etag, c.lastModified, validator), c.taken != nullptr);
        EXPECT_STREQ(validator, c.taken != nullptr ? c.taken : "");
    }
}

TEST(DownloadResume, RangedAnswerIsAppendedOnlyWhenItIsTheRestOfTheSameFile)
{
    struct Case {
        uint32_t status;
        const wchar_t* contentRange;
        const char* answered;
        RangedAnswer verdict;
    } cases[] = {
        {206, L"bytes 900-2999/3000", "\"v1\"", RangedAppend},
        {200, nullptr, "\"v2\"", RangedWhole},  // the validator changed: the whole file
        {206, L"bytes 0-2999/3000", "\"v1\"", RangedRefused},  // not where the partial ends
        {206, L"bytes 900-1999/3000", "\"v1\"", RangedRefused},  // not up to the end
        {206, L"bytes 900-3999/4000", "\"v1\"", RangedRefused},  // another size
        {206, L"bytes 900-2999/*", "\"v1\"", RangedRefused},
        {206, L"bytes */3000", "\"v1\"", RangedRefused},
        {206, L"bytes 900-2999/3000", "\"v2\"", RangedRefused},
        {206, L"bytes 900-2999/3000", nullptr, RangedRefused},
        {206, nullptr, "\"v1\"", RangedRefused},
        {416, L"bytes */3000", "\"v1\"", RangedRefused},
        {404, nullptr, nullptr, RangedRefused},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeRangedAnswer(c.status, c.contentRange, "\"v1\"", c.answered, 900, 3000), c.verdict)
            << c.status << " " << (c.contentRange != nullptr ? c.contentRange : L"-");
    }
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t complete = 0;
    EXPECT_TRUE(ParseContentRange(L"bytes 268435455-268435455/268435456", &first, &last, &complete));
    EXPECT_EQ(first + last + complete, 268435455u * 2 + 268435456u);
    for (const wchar_t* bad : {L"bytes 5-4/10", L"bytes 0-10/10", L"items 0-1/2", L"bytes 0-1/2x", L"bytes -1/2",
                               L"bytes 0-1/99999999999999999999"}) {
        EXPECT_FALSE(ParseContentRange(bad, &first, &last, &complete)) << bad;
    }
}

TEST(DownloadResume, PartialNoteNamesTheReleaseItIsPartOf)
{
    const char* digest = "4f2a0000000000000000000000000000000000000000000000000000000000aa";
    PartialNote note = {};
    snprintf(note.sha256, sizeof(note.sha256), "%s", digest);
    note.size = 3000000;
    snprintf(note.validator, sizeof(note.validator), "\"v1\"");
    char text[kPartialNoteBytes];
    ASSERT_TRUE(FormatPartialNote(note, text));
    PartialNote read = {};
    ASSERT_TRUE(ParsePartialNote(text, &read));
    EXPECT_STREQ(read.validator, "\"v1\"");
    EXPECT_TRUE(PartialFitsRelease(read, 2700000, "4F2A0000000000000000000000000000000000000000000000000000000000AA",
                                   3000000));
    EXPECT_FALSE(PartialFitsRelease(read, 2700000, "4f2b0000000000000000000000000000000000000000000000000000000000aa",
                                    3000000));  // another release
    EXPECT_FALSE(PartialFitsRelease(read, 2700000, digest, 3000001));
    EXPECT_FALSE(PartialFitsRelease(read, 3000000, digest, 3000000));  // nothing left to fetch
    EXPECT_FALSE(PartialFitsRelease(read, 0, digest, 3000000));
    EXPECT_FALSE(PartialFitsRelease(read, 2700000, "", 3000000));
    for (const char* bad : {"", "abc\n12\n", "abc\n12\n\"v\"\nmore", "abc\n-12\n\"v\"\n", "abc\n12\n\"v\r\"\n",
                            "\n12\n\"v\"\n", "abc\n\n\"v\"\n"}) {
        EXPECT_FALSE(ParsePartialNote(bad, &read)) << bad;
    }
}
