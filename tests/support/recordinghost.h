// SPDX-License-Identifier: GPL-3.0-or-later
// A scan host for engine tests: settings to set, every event recorded.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan.h"
#include "tests/support/fakeplatform.h"

class TRecordingHost : public TScanHost {
 public:
  // Settings, as the window would hold them.
  std::uint8_t drive = 5;
  TDriveGeometry geometry{};
  std::string destination;
  std::string prefix = "img";
  int retries = 1;
  int sectorsAtOnce = 100;
  TSearchTypes types;
  bool checkFiles = false;
  bool cancel = false;
  TZlibTool zlib;
  // Runs at every sector, before it is processed (to cancel, change a box...).
  std::function<void(std::uint32_t sector)> onSector;
  std::deque<bool> overwriteAnswers;  // empty: "&Ja"

  // What the scan did.
  std::vector<std::string> events;  // coarse steps in order
  std::vector<std::string> warnings;
  std::vector<std::string> questions;
  std::vector<std::string> stored;
  std::vector<std::string> storedPaths;  // in step with stored
  std::vector<std::uint32_t> sectors;
  std::int32_t found = -1;
  std::int32_t readErrors = -1;
  int pumps = 0;
  TScanOutcome outcome;  // as the scan reported it at its end

  std::uint8_t DriveNumber() override { return drive; }
  const TDriveGeometry& DriveGeometry() override { return geometry; }
  std::string FilenamePrefix() override { return prefix; }
  int RetryCount() override { return retries; }
  int SectorsAtOnce() override { return sectorsAtOnce; }
  std::string DestinationText() override { return destination; }
  const TSearchTypes& SearchTypes() override { return types; }
  bool CheckFiles() override { return checkFiles; }
  bool CancelRequested() override { return cancel; }
  void ClearCancelRequest() override { cancel = false; }
  TZlibTool& Compressor() override { return zlib; }

  void SearchStarting() override {
    events.push_back("SearchStarting");
    stored.clear();
    storedPaths.clear();
  }
  void ScanningStarted() override { events.push_back("ScanningStarted"); }
  void Pump() override { ++pumps; }
  void SectorReached(std::uint32_t sector, std::uint32_t) override {
    sectors.push_back(sector);
    if (onSector) onSector(sector);
  }
  void FoundCountChanged(std::int32_t value) override { found = value; }
  void ReadErrorsChanged(std::int32_t value) override { readErrors = value; }
  bool ConfirmOverwrite(const std::string& text) override {
    questions.push_back(text);
    if (overwriteAnswers.empty()) return true;
    const bool answer = overwriteAnswers.front();
    overwriteAnswers.pop_front();
    return answer;
  }
  void Warn(const std::string& text) override { warnings.push_back(text); }
  void FileStored(const std::string& storedName, const std::string& storedPath) override {
    stored.push_back(storedName);
    storedPaths.push_back(storedPath);
  }
  void ScanningEnded() override { events.push_back("ScanningEnded"); }
  void SearchEnded(const TScanOutcome& how) override {
    events.push_back("SearchEnded");
    outcome = how;
  }
};

// A checked scan of a whole card image (512-byte sectors), every box ticked
// unless types say otherwise, through a fake drive, into destination (with
// its trailing "/").
inline void CheckedScanOfCard(TRecordingHost& host, const std::vector<std::uint8_t>& card,
                              const std::string& destination, int sectorsAtOnce,
                              const TSearchTypes& types = AllSearchTypes()) {
  FakePlatform platform;
  const auto sectors = static_cast<std::uint32_t>(card.size() / 512);
  platform.AddVolume('E', sectors).data = card;
  host.geometry.TotalSectors = sectors;
  host.geometry.BytesPerSector = 512;
  host.destination = destination;
  host.types = types;
  host.checkFiles = true;
  host.sectorsAtOnce = sectorsAtOnce;
  InitDiskAccess(platform);
  RunScan(host);
  DoneDiskAccess();
}
