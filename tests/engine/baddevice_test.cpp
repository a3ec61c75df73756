// SPDX-License-Identifier: GPL-3.0-or-later
// A scan of a real block device with bad sectors: a card image served by
// nbdkit with chosen sectors failing, through nbdfuse and a direct-I/O loop
// device, scanned through LinuxPlatform as the program would scan a card.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "diskio/linuxplatform.h"
#include "engine/scan.h"
#include "tests/support/nbdharness.h"
#include "tests/support/recordinghost.h"
#include "tests/support/stored.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kSectors = 8192;  // 4 MiB
constexpr std::uint32_t kChunk = 256;
constexpr int kRetries = 1;
// JPEG headers start files 1 to 4.
const std::vector<std::uint32_t> kHeaders = {0, 1001, 2600, 6000};
// Just before a header; a chunk's last sector; inside a 4 KiB page; two
// neighbours in different pages of one chunk; just after a header; the card's last.
const std::vector<std::uint32_t> kBad = {1000, 2047, 3001, 4999, 5000, 6001, kSectors - 1};

// Every sector tells its number and never reads as zeros or as a header.
std::vector<std::uint8_t> CardImage() {
  std::vector<std::uint8_t> image(std::size_t{kSectors} * kSector);
  for (std::uint32_t s = 0; s < kSectors; ++s) {
    std::uint8_t* sector = image.data() + std::size_t{s} * kSector;
    for (std::uint32_t i = 0; i < kSector; ++i) {
      sector[i] = static_cast<std::uint8_t>(s * 131 + i * 7 + 0x11);
    }
    for (std::uint32_t at : {8u, 500u}) {
      for (int b = 0; b < 4; ++b) sector[at + b] = static_cast<std::uint8_t>(s >> (8 * b));
    }
  }
  for (std::uint32_t s : kHeaders) {
    const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE0};
    std::copy(std::begin(header), std::end(header), image.begin() + std::size_t{s} * kSector);
  }
  return image;
}

std::vector<std::uint8_t> SectorOf(const std::vector<std::uint8_t>& bytes, std::uint32_t s) {
  const auto begin = bytes.begin() + std::size_t{s} * kSector;
  return {begin, begin + kSector};
}

// Sector numbers as runs, "992-1007 2047": short enough to read in a failure.
std::string Runs(const std::vector<std::uint32_t>& sectors) {
  std::string text;
  for (std::size_t i = 0; i < sectors.size();) {
    std::size_t last = i;
    while (last + 1 < sectors.size() && sectors[last + 1] == sectors[last] + 1) ++last;
    if (!text.empty()) text += ' ';
    text += std::to_string(sectors[i]);
    if (last != i) text += '-' + std::to_string(sectors[last]);
    i = last + 1;
  }
  return text;
}

// Each bad sector fails the chunk read that first reaches it (full chunks
// resume right after the sector before), then its own single attempts.
int ExpectedFailedReads() {
  return static_cast<int>(kBad.size() * (1 + kRetries + 1));
}

class BadDeviceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // The unit's handle and the platform's go before the device does.
    DoneDiskAccess();
    platform.reset();
    card.reset();
  }

  // Expands a stored file the way a recover does.
  std::vector<std::uint8_t> Restored(const std::string& storedName) {
    return ExpandStored(host.destination + storedName + ".rdf", dir);
  }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  std::unique_ptr<TNbdHarness> card;
  std::unique_ptr<LinuxPlatform> platform;
  TRecordingHost host;
};

TEST_F(BadDeviceTest, ScanLosesExactlyTheBadSectorsOfARealDevice) {
  if (const std::string missing = TNbdHarness::MissingPrerequisite(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const std::vector<std::uint8_t> image = CardImage();
  const fs::path imageFile = dir / "card.img";
  std::ofstream(imageFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  fs::create_directories(dir / "nbd");
  card = std::make_unique<TNbdHarness>(imageFile, kBad, dir / "nbd");
  if (!card->Ready()) GTEST_SKIP() << "no damaged card on this machine: " << card->Problem();
  if (!card->DirectIo()) {
    GTEST_SKIP() << "the loop device over FUSE runs without direct I/O here, so a bad sector "
                    "would cost its whole page: "
                 << card->Problem();
  }
  ASSERT_EQ(card->LogicalBlockSize(), kSector);

  // The device fails the bad sectors and nothing beside them, one failed
  // server read per failed read of the device. Only this test's own reads
  // count: udev (on any desktop) probes a new device and may read a bad one.
  const int probed = card->FailedReads();
  for (std::uint32_t bad : kBad) {
    EXPECT_FALSE(card->ReadSectorDirect(bad).has_value()) << "sector " << bad << " reads";
    for (std::uint32_t near : {bad - 1, bad + 1}) {
      if (near >= kSectors || std::count(kBad.begin(), kBad.end(), near) != 0) continue;
      const auto read = card->ReadSectorDirect(near);
      ASSERT_TRUE(read.has_value()) << "good sector " << near << " fails";
      EXPECT_EQ(*read, SectorOf(image, near)) << "sector " << near;
    }
  }
  const int failedBefore = card->FailedReads();
  ASSERT_EQ(failedBefore - probed, static_cast<int>(kBad.size()));

  platform = std::make_unique<LinuxPlatform>(std::vector<std::string>{card->Device()});
  InitDiskAccess(*platform);
  // Card readers on this machine would come before the image: find its letter.
  host.drive = 0;
  for (const std::string& root : platform->LogicalDriveRoots()) {
    if (platform->Describe(root[0]).path == card->Device()) {
      host.drive =
          static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(root[0])) - 64);
    }
  }
  ASSERT_NE(host.drive, 0) << card->Device() << " is not listed";
  ASSERT_TRUE(GetDriveGeometry(host.drive, host.geometry));
  ASSERT_EQ(host.geometry.TotalSectors, kSectors);
  ASSERT_EQ(host.geometry.BytesPerSector, kSector);
  fs::create_directories(dir / "out");
  host.destination = (dir / "out").string() + "/";
  host.retries = kRetries;
  host.sectorsAtOnce = kChunk;
  RunScan(host);
  DoneDiskAccess();
  const int serverFailed = card->FailedReads() - failedBefore;

  // One file per header, each up to the next; together they are the whole card.
  const bool everyHeader =
      host.stored == std::vector<std::string>{"img1.JPG", "img2.JPG", "img3.JPG", "img4.JPG"};
  EXPECT_TRUE(everyHeader) << ::testing::PrintToString(host.stored);
  std::vector<std::uint8_t> carved;
  for (std::size_t i = 0; i < host.stored.size(); ++i) {
    const std::vector<std::uint8_t> file = Restored(host.stored[i]);
    if (everyHeader) {
      const std::uint32_t end = i + 1 < kHeaders.size() ? kHeaders[i + 1] : kSectors;
      EXPECT_EQ(file.size(), std::size_t{end - kHeaders[i]} * kSector) << host.stored[i];
    }
    carved.insert(carved.end(), file.begin(), file.end());
  }
  ASSERT_EQ(carved.size(), image.size());
  // Sector by sector: the lost ones are zeros, every other one is the card's.
  std::vector<std::uint32_t> zeroed;
  std::vector<std::uint32_t> wrong;
  const std::vector<std::uint8_t> zeros(kSector, 0);
  for (std::uint32_t s = 0; s < kSectors; ++s) {
    const std::vector<std::uint8_t> got = SectorOf(carved, s);
    if (got == zeros) {
      zeroed.push_back(s);
    } else if (got != SectorOf(image, s)) {
      wrong.push_back(s);
    }
  }
  EXPECT_EQ(Runs(zeroed), Runs(kBad));
  EXPECT_EQ(Runs(wrong), "");

  EXPECT_EQ(host.readErrors, ExpectedFailedReads());
  EXPECT_EQ(serverFailed, ExpectedFailedReads());
}

}  // namespace
