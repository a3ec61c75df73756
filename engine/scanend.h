// SPDX-License-Identifier: GPL-3.0-or-later
// What a search tells the user about its time and its end, worded once for
// the window and the command line alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/scan.h"

// Where a front end's times come from: the steady clock, or a test's own, so
// a slow card can be played without waiting for it.
using TScanClock = std::function<std::chrono::steady_clock::time_point()>;

// The first chunks' speed says little (the card wakes up, the cache is cold):
// no estimate before this much reading.
constexpr double kTimeLeftAfterSeconds = 3.0;

// Seconds left at the average speed so far, done of total sectors read in
// readingSeconds; none before kTimeLeftAfterSeconds or before any sector.
std::optional<double> SecondsLeft(std::uint32_t done, std::uint32_t total, double readingSeconds);

// "1:02:03"
std::string DurationText(double seconds);
// "4:05", and "1:02:03" from an hour on.
std::string ClockText(double seconds);

// "Finished: 33 files in 0:01:58", "Cancelled at sector 632320 of 1048576:
// 24 files", "Stopped: the drive can no longer be read: 369 files",
// "Stopped: the destination cannot be written: 1 file"; empty for a search
// that never got going. seconds is how long the search ran.
std::string ScanEndText(const TScanOutcome& outcome, double seconds);
