// Published version text and how it compares with an installed file version.
#include <gtest/gtest.h>

#include <string>

#include "update/version_text.h"

namespace {

std::string Parts(const PublishedVersion& v)
{
    return std::to_string(v.parts[0]) + "," + std::to_string(v.parts[1]) + "," + std::to_string(v.parts[2]) + "," +
           std::to_string(v.parts[3]);
}

}  // namespace

TEST(VersionText, TakesTheFirstFourDigitRunsWhateverSeparatesThem)
{
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"1.6.5.0", "1,6,5,0"},
        {"1_6_5_0", "1,6,5,0"},
        {"v1.6.5 build 0", "1,6,5,0"},
        {"2.1", "2,1,0,0"},
        {"", "0,0,0,0"},
        {"release", "0,0,0,0"},
        {"1.6.5.0.9", "1,6,5,0"},
        {"007.08", "7,8,0,0"},
        {"1..2", "1,2,0,0"},
        {"2147483647.1", "2147483647,1,0,0"},
        {"2147483648.1", "-2147483648,1,0,0"},  // 32-bit wrap into the sign bit
        {"4294967296.1", "0,1,0,0"},            // past 2^32: wraps to 0
        {"4294967297.1", "1,1,0,0"},
        {"99999999999999999999", "1661992959,0,0,0"},  // 10^20 - 1 modulo 2^32
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parts(ParseVersionText(c.text)), c.expected) << c.text;
    }
}

TEST(VersionText, InstalledCountsAsNewerOnlyWhenStrictlyGreater)
{
    struct Case {
        FileVersionQuad installed;
        const char* published;
        bool newer;
    } cases[] = {
        {{true, {1, 6, 5, 1}}, "1.6.5.0", true},
        {{true, {1, 6, 5, 0}}, "1.6.5.0", false},
        {{true, {1, 6, 4, 0}}, "1.6.5.0", false},
        {{true, {1, 7, 0, 0}}, "1.6.5.9", true},    // the first differing part decides
        {{true, {1, 5, 99, 99}}, "1.6.0.0", false},
        {{true, {0, 0, 0, 1}}, "no digits", true},  // a text without digits is 0.0.0.0
        {{true, {0, 0, 0, 0}}, "no digits", false},
        {{true, {65535, 65535, 65535, 65535}}, "65535.65536", false},  // wider than any installed part
        {{true, {1, 7, 0, 0}}, "1.6.70000.0", true},
        {{true, {2, 0, 0, 0}}, "2147483648", true},  // wrapped negative, compared signed
        {{false, {9, 9, 9, 9}}, "1.0", false},       // nothing installed is never newer
    };
    for (const Case& c : cases) {
        const FileVersionQuad& v = c.installed;
        EXPECT_EQ(InstalledIsNewer(v, ParseVersionText(c.published)), c.newer)
            << v.parts[0] << "." << v.parts[1] << "." << v.parts[2] << "." << v.parts[3] << " vs " << c.published;
    }
}

// A signed download is installed only as what was published, never over a
// newer signed core and never below the highest core once verified.
TEST(VersionText, DownloadMustBeThePublishedVersionAndNoDowngrade)
{
    const FileVersionQuad none = {false, {0, 0, 0, 0}};
    const FileVersionQuad floor = {true, {1, 6, 5, 0}};
    struct Case {
        FileVersionQuad download;
        const char* published;
        FileVersionQuad installed;
        FileVersionQuad floor;
        DownloadVersion verdict;
    } cases[] = {
        {{true, {1, 6, 5, 0}}, "1.6.5.0", {true, {1, 6, 4, 0}}, none, DownloadVersionAccepted},
        {{true, {1, 6, 5, 0}}, "1.6.5", {true, {1, 6, 5, 0}}, floor, DownloadVersionAccepted},  // republished
        {{true, {1, 6, 5, 0}}, "1.6.5.0", none, none, DownloadVersionAccepted},
        {{true, {1, 6, 4, 0}}, "99.0.0.0", {true, {1, 6, 5, 0}}, none, DownloadVersionNotPublished},  // a lie
        {{true, {1, 6, 4, 0}}, "1.6.4.0", {true, {1, 6, 5, 0}}, none, DownloadVersionOlder},
        {{true, {1, 6, 4, 0}}, "1.6.4.0", {true, {1, 6, 4, 1}}, none, DownloadVersionOlder},
        {{false, {0, 0, 0, 0}}, "0.0.0.0", none, none, DownloadVersionNotPublished},  // no version resource
        {{true, {1, 6, 5, 0}}, "1.6.70000.0", none, none, DownloadVersionNotPublished},
        // A folder made anew has no installed core: the floor still holds.
        {{true, {1, 6, 4, 0}}, "1.6.4.0", none, floor, DownloadVersionBelowFloor},
        {{true, {1, 6, 4, 9}}, "1.6.4.9", {true, {1, 6, 4, 0}}, floor, DownloadVersionBelowFloor},
        {{true, {1, 7, 0, 0}}, "1.7.0.0", none, floor, DownloadVersionAccepted},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeDownloadVersion(c.download, ParseVersionText(c.published), c.installed, c.floor), c.verdict)
            << c.published;
    }
    // The floor only rises, and a version not present never counts.
    EXPECT_TRUE(VersionAbove({true, {1, 6, 5, 1}}, floor));
    EXPECT_FALSE(VersionAbove(floor, floor));
    EXPECT_FALSE(VersionAbove({true, {1, 6, 4, 65535}}, floor));
    EXPECT_TRUE(VersionAbove({true, {0, 0, 0, 0}}, none));
    EXPECT_FALSE(VersionAbove(none, floor));
    EXPECT_EQ(HigherVersion(none, floor).parts[1], 6);
    EXPECT_TRUE(HigherVersion(floor, none).present);
    EXPECT_EQ(HigherVersion({true, {2, 0, 0, 0}}, floor).parts[0], 2);
    // A launcher replaces no newer copy, and none once a newer launcher was installed.
    const FileVersionQuad launcher = {true, {1, 0, 0, 1}}, older = {true, {1, 0, 0, 0}};
    EXPECT_TRUE(MayReplaceInstalledLauncher(launcher, older, older) && MayReplaceInstalledLauncher(older, none, none));
    EXPECT_FALSE(MayReplaceInstalledLauncher(older, launcher, none) ||
                 MayReplaceInstalledLauncher(older, none, launcher) || MayReplaceInstalledLauncher(none, older, none));
    // A published launcher is wanted only when newer than this one and than the copy.
    const PublishedVersion next = ParseVersionText("1.0.0.1");
    EXPECT_TRUE(LauncherUpdateWanted(older, older, next) && LauncherUpdateWanted(older, none, next));
    EXPECT_FALSE(LauncherUpdateWanted(older, launcher, next) || LauncherUpdateWanted(launcher, older, next) ||
                 LauncherUpdateWanted(none, none, next));
    // A document asked for again may name the same or a newer release only.
    EXPECT_LT(CompareVersionTexts("1.6.4.0", "1.6.5"), 0);
    EXPECT_EQ(CompareVersionTexts("1.6.5", "1.6.5.0"), 0);
    EXPECT_GT(CompareVersionTexts("1.10.0.0", "1.9.9.9"), 0);
}
