// SPDX-License-Identifier: GPL-3.0-or-later
// The words a search ends with and its time left, as the window and the
// command line both show them.
#include "engine/scanend.h"

#include <gtest/gtest.h>

namespace {

// Each way a search ends is worded in the window's and the command line's
// tests; here the edges.
TEST(ScanEndTextTest, NothingForASearchNeverStartedAndNumbersInFull) {
  EXPECT_EQ(ScanEndText({TScanEnd::NotStarted, 0, 1048576, 0}, 0), "");
  EXPECT_EQ(ScanEndText({TScanEnd::Cancelled, 0, 100, 0}, 0),
            "Cancelled at sector 0 of 100: 0 files");
  EXPECT_EQ(ScanEndText({TScanEnd::Cancelled, 4294967295u, 4294967295u, 2147483647}, 0),
            "Cancelled at sector 4294967295 of 4294967295: 2147483647 files");
  EXPECT_EQ(ScanEndText({TScanEnd::Completed, 100, 100, 1}, 3725.4), "Finished: 1 file in 1:02:05");
  EXPECT_EQ(ScanEndText({TScanEnd::DriveGone, 9, 100, 1}, 0),
            "Stopped: the drive can no longer be read: 1 file");
}

TEST(TimeLeftTest, FromTheAverageSpeedOnceAFewSecondsHavePassed) {
  // Nothing to go by yet: too early, or nothing read.
  EXPECT_FALSE(SecondsLeft(500000, 1000000, 2.9));
  EXPECT_FALSE(SecondsLeft(0, 1000000, 60));
  // A quarter read in 30 s: 90 s to go.
  ASSERT_TRUE(SecondsLeft(250000, 1000000, 30));
  EXPECT_DOUBLE_EQ(*SecondsLeft(250000, 1000000, 30), 90);
  EXPECT_DOUBLE_EQ(*SecondsLeft(1000000, 1000000, 30), 0);
  // Sector numbers near 2^32 neither overflow nor go negative.
  EXPECT_DOUBLE_EQ(*SecondsLeft(2147483648u, 4294967295u, 100), 100 * 2147483647.0 / 2147483648.0);
  EXPECT_DOUBLE_EQ(*SecondsLeft(4294967295u, 100, 100), 0);
}

TEST(TimeLeftTest, MinutesAndSecondsThenHours) {
  EXPECT_EQ(ClockText(0), "0:00");
  EXPECT_EQ(ClockText(59.4), "0:59");
  EXPECT_EQ(ClockText(59.6), "1:00");
  EXPECT_EQ(ClockText(754), "12:34");
  EXPECT_EQ(ClockText(3599.4), "59:59");
  EXPECT_EQ(ClockText(3600), "1:00:00");
  EXPECT_EQ(ClockText(-5), "0:00");
  EXPECT_EQ(DurationText(118), "0:01:58");
}

}  // namespace
