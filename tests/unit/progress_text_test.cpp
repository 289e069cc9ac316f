// Download progress: throttling, percentage and the text the user reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "transfer/progress_text.h"

namespace {

std::wstring Megabytes(uint64_t bytes)
{
    wchar_t text[32];
    FormatMegabytesTenths(bytes, text, 32);
    return text;
}

std::wstring Line(const wchar_t* label, uint64_t total, uint64_t expected)
{
    wchar_t text[kProgressTextUnits];
    FormatDownloadProgress(label, total, expected, text, kProgressTextUnits);
    return text;
}

}  // namespace

TEST(ProgressText, MegabytesRoundToNearestTenthWithTiesToEven)
{
    const uint64_t kMiB = 1048576;
    struct Case {
        uint64_t bytes;
        const wchar_t* expected;
    } cases[] = {
        {0, L"0.0"},
        {kMiB / 4, L"0.2"},          // exactly 0.25: tie goes to the even tenth
        {kMiB * 3 / 4, L"0.8"},      // exactly 0.75: tie goes to the even tenth
        {kMiB / 4 + 1, L"0.3"},      // just above the tie
        {kMiB * 3 / 4 - 1, L"0.7"},  // just below the tie
        {kMiB, L"1.0"},
        {kMiB * 10 - 1, L"10.0"},    // rounding carries into the whole megabytes
        {1000001, L"1.0"},
        {256 * kMiB, L"256.0"},
        {UINT64_MAX, L"17592186044416.0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Megabytes(c.bytes), c.expected) << "bytes=" << c.bytes;
    }
}

TEST(ProgressText, PercentIsIntegerCappedAndZeroWithoutExpectedSize)
{
    EXPECT_EQ(ProgressPercent(0, 0), 0);
    EXPECT_EQ(ProgressPercent(5000000, 0), 0);
    EXPECT_EQ(ProgressPercent(0, 200), 0);
    EXPECT_EQ(ProgressPercent(199, 200), 99);  // truncated, never rounded up to 100 early
    EXPECT_EQ(ProgressPercent(200, 200), 100);
    EXPECT_EQ(ProgressPercent(500, 200), 100);
    EXPECT_EQ(ProgressPercent(UINT64_MAX / 2, UINT64_MAX), 49);  // no wrap in the product
}

TEST(ProgressText, ThrottlesToOneReportPer80MsUntilExpectedSizeReached)
{
    EXPECT_FALSE(ShouldReportProgress(80, 0, 10, 100));
    EXPECT_TRUE(ShouldReportProgress(81, 0, 10, 100));
    EXPECT_TRUE(ShouldReportProgress(1000, 990, 100, 100));  // expected size reached
    EXPECT_TRUE(ShouldReportProgress(1000, 990, 150, 100));  // beyond it
    EXPECT_TRUE(ShouldReportProgress(1000, 990, 10, 0));     // no expected size: every chunk
    // Tick count wrapped since the last report: 50 ms elapsed, not 4 billion.
    EXPECT_FALSE(ShouldReportProgress(20, 0xFFFFFFE2u, 10, 100));
    EXPECT_TRUE(ShouldReportProgress(60, 0xFFFFFFE2u, 10, 100));
}

TEST(ProgressText, LineShowsVersionFiguresAndPercent)
{
    EXPECT_EQ(Line(L"1.6.5.0", 3 * 1048576 / 2, 3 * 1048576),
              L"Downloading Tovrin Tools v1.6.5.0... 1.5 / 3.0 MB (50%)");
    EXPECT_EQ(Line(L"1.6.5.0", 2621440, 0), L"Downloading Tovrin Tools v1.6.5.0... 2.5 / 0.0 MB (0%)");
    EXPECT_EQ(Line(L"2.0", 5 * 1048576, 4 * 1048576), L"Downloading Tovrin Tools v2.0... 5.0 / 4.0 MB (100%)");
    EXPECT_EQ(Line(L"", 0, 1048576), L"Downloading Tovrin Tools v... 0.0 / 1.0 MB (0%)");
}

TEST(ProgressText, LongestLineFitsItsBuffer)
{
    const std::wstring label(63, L'9');  // the longest version label there can be
    const std::wstring line = Line(label.c_str(), UINT64_MAX, UINT64_MAX);
    EXPECT_LT(line.size(), kProgressTextUnits);
    EXPECT_EQ(line.substr(line.size() - 6), L"(100%)");
}
