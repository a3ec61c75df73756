// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/scanend.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

long long WholeSeconds(double seconds) {
  return static_cast<long long>(std::max(0.0, std::round(seconds)));
}

// "1 file", "24 files"
std::string Files(std::int32_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

}  // namespace

std::optional<double> SecondsLeft(std::uint32_t done, std::uint32_t total, double readingSeconds) {
  if (done == 0 || readingSeconds < kTimeLeftAfterSeconds) return std::nullopt;
  const std::uint32_t left = total - std::min(done, total);
  return readingSeconds * left / done;
}

std::string DurationText(double seconds) {
  const long long total = WholeSeconds(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  return text;
}

std::string ClockText(double seconds) {
  const long long total = WholeSeconds(seconds);
  if (total >= 3600) return DurationText(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  return text;
}

std::string ScanEndText(const TScanOutcome& outcome, double seconds) {
  switch (outcome.end) {
    case TScanEnd::Completed:
      return "Finished: " + Files(outcome.found) + " in " + DurationText(seconds);
    case TScanEnd::Cancelled:
      return "Cancelled at sector " + std::to_string(outcome.sector) + " of " +
             std::to_string(outcome.totalSectors) + ": " + Files(outcome.found);
    case TScanEnd::DriveGone:
      return "Stopped: the drive can no longer be read: " + Files(outcome.found);
    case TScanEnd::DestinationFailed:
      return "Stopped: the destination cannot be written: " + Files(outcome.found);
    case TScanEnd::NotStarted:
      break;
  }
  return {};
}
