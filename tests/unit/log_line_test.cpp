// The lines of the launcher log and its size cap.
#include <gtest/gtest.h>

#include <string>

#include "common/log_line.h"

TEST(LogLine, IsOneStampedLineCutToFitAndTheCapMovesAFullLogAside)
{
    const LogStamp stamp = {2026, 12, 10, 1, 2, 3, 45};
    char line[64];
    // A box text with a line break stays on one line.
    EXPECT_EQ(FormatLogLine(stamp, "1.0.0.0", "a\nb", line, sizeof(line)), 48u);
    EXPECT_STREQ(line, "2026-12-10T01:02:03.045Z launcher 1.0.0.0: a b\r\n");
    const std::string longText(200, 'x');
    EXPECT_EQ(FormatLogLine(stamp, "1.0.0.0", longText.c_str(), line, sizeof(line)), 63u);
    EXPECT_EQ(std::string(line).substr(59), "xx\r\n");
    EXPECT_FALSE(LogNeedsRotation(kLogCapBytes - 1));
    EXPECT_TRUE(LogNeedsRotation(kLogCapBytes));
}
