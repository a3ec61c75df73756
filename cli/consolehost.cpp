// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/consolehost.h"

#include <algorithm>
#include <string_view>

namespace {

// Reading the clock costs more than the rest of a sector's work.
constexpr std::uint32_t kSectorsPerClockCheck = 64;

}  // namespace

std::string ProgressText(std::uint64_t doneBytes, std::uint64_t totalBytes, double seconds,
                         std::int32_t found, std::int32_t readErrors) {
  const double percent = totalBytes == 0 ? 0.0 : 100.0 * double(doneBytes) / double(totalBytes);
  const bool rateKnown = seconds > 0 && doneBytes > 0;
  const double rate = rateKnown ? double(doneBytes) / seconds : 0.0;
  std::string left = "--:--:--";
  if (rateKnown) left = DurationText(double(totalBytes - std::min(doneBytes, totalBytes)) / rate);
  char text[160];
  std::snprintf(text, sizeof text, "%5.1f%%  %.1f MB/s  %s left  %d files found  %d read errors",
                percent, rate / 1e6, left.c_str(), found, readErrors);
  return text;
}

TConsoleScanHost::TConsoleScanHost(const TCarveOptions& options, std::string destinationText,
                                   const TDriveGeometry& geometry,
                                   const volatile std::sig_atomic_t& stop, std::FILE* err,
                                   bool terminal, TScanClock clock)
    : options_(options),
      destination_(std::move(destinationText)),
      geometry_(geometry),
      stop_(stop),
      err_(err),
      terminal_(terminal),
      clock_(std::move(clock)),
      start_(clock_()),
      lastShown_(start_) {}

int TConsoleScanHost::SectorsAtOnce() {
  if (options_.sectorsAtOnce) return *options_.sectorsAtOnce;
  // As the window sets it for a selected drive: a hundredth of the volume,
  // within what the buffer holds.
  const std::uint32_t fits =
      geometry_.BytesPerSector == 0 ? 1 : kScanBufferSize / geometry_.BytesPerSector;
  return static_cast<int>(
      std::clamp<std::uint32_t>(geometry_.TotalSectors / 100, 1, std::max<std::uint32_t>(fits, 1)));
}

bool TConsoleScanHost::CancelRequested() {
  if (stop_ != 0 && !cancelled_) {
    cancelled_ = true;
    Message("Stopping; the files found so far are still written out.");
  }
  return cancelled_;
}

// A signal that came before the scan started must still stop it, so the
// request is never cleared.
void TConsoleScanHost::ClearCancelRequest() {}

void TConsoleScanHost::SearchStarting() {
  stored_.clear();
}

void TConsoleScanHost::ScanningStarted() {
  start_ = lastShown_ = clock_();
  if (terminal_) ShowProgress();
}

void TConsoleScanHost::Pump() {
  // Failed reads pump; while they go on, the progress must not stand still.
  MaybeShowProgress();
}

void TConsoleScanHost::SectorReached(std::uint32_t sector, std::uint32_t totalSectors) {
  sector_ = sector;
  if (sector + 1 == totalSectors) reachedEnd_ = true;
  if (++sinceClockCheck_ < kSectorsPerClockCheck) return;
  MaybeShowProgress();
}

void TConsoleScanHost::ReadingSector(std::uint32_t sector) {
  sector_ = sector;
  MaybeShowProgress();
}

void TConsoleScanHost::ReadErrorsChanged(std::int32_t errors) {
  readErrors_ = errors;
}

bool TConsoleScanHost::ConfirmOverwrite(const std::string& text) {
  // Nobody is there to answer; a batch run never replaces a file.
  Message(text + " No: the file found is skipped.");
  return false;
}

void TConsoleScanHost::Warn(const std::string& text) {
  Message(text);
}

void TConsoleScanHost::FileStored(const std::string& storedName,
                                  const std::string& /*storedPath*/) {
  stored_.push_back(storedName);
  // Once the stop is seen no more sectors are read: what is stored then is
  // the file that was open, cut where the scan stopped.
  if (cancelled_) cutAtStop_ = storedName;
}

void TConsoleScanHost::ScanningEnded() {
  if (reachedEnd_) sector_ = geometry_.TotalSectors;
  ClearLine();
}

void TConsoleScanHost::SearchEnded(const TScanOutcome& outcome) {
  if (const std::string text = ScanEndText(outcome, Seconds()); !text.empty()) Message(text);
}

void TConsoleScanHost::Message(const std::string& text) {
  ClearLine();
  std::fprintf(err_, "fernhollow-carve: %s\n", text.c_str());
  std::fflush(err_);
}

double TConsoleScanHost::Seconds() const {
  return std::chrono::duration<double>(clock_() - start_).count();
}

void TConsoleScanHost::MaybeShowProgress() {
  sinceClockCheck_ = 0;
  const auto now = clock_();
  const auto interval = terminal_ ? std::chrono::duration_cast<Clock::duration>(kTerminalInterval)
                                  : std::chrono::duration_cast<Clock::duration>(kLogInterval);
  if (now - lastShown_ >= interval) ShowProgress();
}

void TConsoleScanHost::ShowProgress() {
  lastShown_ = clock_();
  const std::uint64_t bytesPerSector = geometry_.BytesPerSector;
  const std::string text = ProgressText(std::uint64_t{sector_} * bytesPerSector,
                                        std::uint64_t{geometry_.TotalSectors} * bytesPerSector,
                                        Seconds(), found_, readErrors_);
  if (terminal_) {
    // Padded over the previous line, which may have been longer.
    std::fprintf(err_, "\r%-*s", static_cast<int>(lineWidth_), text.c_str());
    lineWidth_ = std::max(lineWidth_, text.size());
  } else {
    std::fprintf(err_, "%s\n", text.c_str());
  }
  std::fflush(err_);
}

void TConsoleScanHost::ClearLine() {
  if (!terminal_ || lineWidth_ == 0) return;
  std::fprintf(err_, "\r%*s\r", static_cast<int>(lineWidth_), "");
  lineWidth_ = 0;
}
