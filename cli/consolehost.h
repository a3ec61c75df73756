// SPDX-License-Identifier: GPL-3.0-or-later
// The console's side of the scan: hands it the command line's settings, shows
// its progress on stderr and keeps what it stored for the write-out at the
// end.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "engine/scan.h"
#include "engine/scanend.h"

// One progress line: percent, speed, time left, files found, read errors.
std::string ProgressText(std::uint64_t doneBytes, std::uint64_t totalBytes, double seconds,
                         std::int32_t found, std::int32_t readErrors);

class TConsoleScanHost : public TScanHost {
 public:
  // stop is set by the signal handler; terminal says whether err is one, so
  // progress rewrites a single line there and prints plain lines elsewhere.
  TConsoleScanHost(const TCarveOptions& options, std::string destinationText,
                   const TDriveGeometry& geometry, const volatile std::sig_atomic_t& stop,
                   std::FILE* err, bool terminal,
                   TScanClock clock = &std::chrono::steady_clock::now);

  std::uint8_t DriveNumber() override { return kDrive; }
  const TDriveGeometry& DriveGeometry() override { return geometry_; }
  std::string FilenamePrefix() override { return options_.prefix; }
  int RetryCount() override { return options_.retries; }
  int SectorsAtOnce() override;
  std::string DestinationText() override { return destination_; }
  const TSearchTypes& SearchTypes() override { return options_.types; }
  bool CheckFiles() override { return options_.check; }
  bool CancelRequested() override;
  void ClearCancelRequest() override;
  TZlibTool& Compressor() override { return zlib_; }

  void SearchStarting() override;
  void ScanningStarted() override;
  void Pump() override;
  void SectorReached(std::uint32_t sector, std::uint32_t totalSectors) override;
  void ReadingSector(std::uint32_t sector) override;
  void FoundCountChanged(std::int32_t found) override { found_ = found; }
  void ReadErrorsChanged(std::int32_t errors) override;
  bool ConfirmOverwrite(const std::string& text) override;
  void Warn(const std::string& text) override;
  void FileStored(const std::string& storedName, const std::string& storedPath) override;
  void ScanningEnded() override;
  // Says how the search ended, as the window does.
  void SearchEnded(const TScanOutcome& outcome) override;

  // Runs the scan through this host and keeps why it ended.
  void Run() { end_ = RunScan(*this); }

  // Prints a line of its own on stderr, clearing the progress line first.
  void Message(const std::string& text);

  // The source is the first image the platform is given, so it is drive C:.
  static constexpr std::uint8_t kDrive = 3;
  static constexpr std::chrono::milliseconds kTerminalInterval{250};
  static constexpr std::chrono::seconds kLogInterval{5};

  const std::vector<std::string>& Stored() const { return stored_; }
  // The file that was open when a signal stopped the scan, stored cut there;
  // empty when none was.
  const std::string& CutAtStop() const { return cutAtStop_; }
  std::int32_t Found() const { return found_; }
  std::int32_t ReadErrors() const { return readErrors_; }
  double Seconds() const;
  // Why the scan ended.
  bool ReachedEnd() const { return reachedEnd_; }
  bool Cancelled() const { return cancelled_; }
  bool MediumGone() const { return end_ == TScanEnd::DriveGone; }
  bool DestinationFailed() const { return end_ == TScanEnd::DestinationFailed; }
  bool Complete() const { return end_ == TScanEnd::Completed; }

 private:
  using Clock = std::chrono::steady_clock;
  void MaybeShowProgress();
  void ShowProgress();
  void ClearLine();

  const TCarveOptions& options_;
  const std::string destination_;
  const TDriveGeometry geometry_;
  const volatile std::sig_atomic_t& stop_;
  std::FILE* err_;
  const bool terminal_;
  TZlibTool zlib_;
  const TScanClock clock_;

  std::vector<std::string> stored_;
  std::string cutAtStop_;
  std::uint32_t sector_ = 0;  // the sector being processed
  std::int32_t found_ = 0;
  std::int32_t readErrors_ = 0;
  bool reachedEnd_ = false;
  bool cancelled_ = false;
  TScanEnd end_ = TScanEnd::NotStarted;

  Clock::time_point start_;
  Clock::time_point lastShown_;
  std::uint32_t sinceClockCheck_ = 0;
  std::size_t lineWidth_ = 0;  // of the progress line now on the terminal
};
