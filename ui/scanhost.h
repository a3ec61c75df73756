// SPDX-License-Identifier: GPL-3.0-or-later
// The window's side of the scan: hands it the settings, shows its progress and
// keeps the window alive. Labels, the progress bar and the event pump run at
// most every ~15 ms (and at every failed read, box, store and the last
// sector), so the scan runs at the speed of the medium, yet every repaint
// shows the sector being processed, the time left and, at the end, how the
// search ended.
#pragma once

#include <chrono>

#include "engine/scan.h"
#include "engine/scanend.h"

class TForm1;

class TWindowScanHost : public TScanHost {
 public:
  explicit TWindowScanHost(TForm1& form);

  std::uint8_t DriveNumber() override;
  const TDriveGeometry& DriveGeometry() override;
  std::string FilenamePrefix() override;
  int RetryCount() override;
  int SectorsAtOnce() override;
  std::string DestinationText() override;
  const TSearchTypes& SearchTypes() override;
  bool CheckFiles() override;
  bool CancelRequested() override;
  void ClearCancelRequest() override;
  TZlibTool& Compressor() override;

  void SearchStarting() override;
  void ScanningStarted() override;
  void Pump() override;
  void SectorReached(std::uint32_t sector, std::uint32_t totalSectors) override;
  void ReadingSector(std::uint32_t sector) override;
  void FoundCountChanged(std::int32_t found) override;
  void ReadErrorsChanged(std::int32_t errors) override;
  bool ConfirmOverwrite(const std::string& text) override;
  void Warn(const std::string& text) override;
  void FileStored(const std::string& storedName, const std::string& storedPath) override;
  void ScanningEnded() override;
  void SearchEnded(const TScanOutcome& outcome) override;

  int Repaints() const { return repaints_; }

  // How long the window may go without a repaint and a pump.
  static constexpr std::chrono::milliseconds kPumpInterval{15};

 private:
  using Clock = std::chrono::steady_clock;
  void Repaint();
  // Runs a box; the time the user takes to answer is not reading time.
  template <class Box>
  auto Waiting(Box&& box);
  double ReadingSeconds(Clock::time_point now) const;

  TForm1& form_;
  const TScanClock clock_;
  std::uint32_t sector_ = 0;
  std::uint32_t totalSectors_ = 0;
  std::int32_t found_ = 0;
  std::uint32_t sinceClockCheck_ = 0;
  Clock::time_point lastRepaint_;
  Clock::time_point start_;   // of the scanning
  Clock::duration waited_{};  // in boxes since then
  int repaints_ = 0;
  bool repaintDue_ = false;  // a store happened since the last sector
};
