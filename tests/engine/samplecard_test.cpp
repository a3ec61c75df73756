// SPDX-License-Identifier: GPL-3.0-or-later
// The sample card and a whole scan of it: every file on the card comes back.
#include "tests/support/samplecard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "engine/scan.h"
#include "tests/support/fakeplatform.h"
#include "tests/support/recordinghost.h"
#include "tests/support/sha256.h"
#include "tests/support/stored.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

class SampleCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "out");
    options.bytes = 2 << 20;
    options.photoFill = 0.5;
    files = WriteSampleCard((dir / "card.img").string(), options);
    card = ReadBytes(dir / "card.img");
  }
  void TearDown() override { DoneDiskAccess(); }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  SampleCardOptions options;
  std::vector<SampleFile> files;
  std::vector<std::uint8_t> card;
};

TEST(Sha256Test, KnownVectors) {
  EXPECT_EQ(Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Sha256Hex(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string million(1000000, 'a');
  EXPECT_EQ(Sha256Hex(reinterpret_cast<const std::uint8_t*>(million.data()), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(SampleCardTest, ManifestDescribesTheCard) {
  ASSERT_EQ(card.size(), options.bytes);
  const auto manifest = ReadManifest((dir / "card.img.manifest").string());
  ASSERT_EQ(manifest.size(), files.size());
  std::set<std::string> types;
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < manifest.size(); ++i) {
    const SampleFile& f = manifest[i];
    EXPECT_EQ(f.sha256, files[i].sha256);
    EXPECT_GE(std::uint64_t{f.firstSector} * 512, end) << "files overlap";
    end = std::uint64_t{f.firstSector} * 512 + f.size;
    ASSERT_LE(end, card.size());
    EXPECT_EQ(Sha256Hex(card.data() + std::size_t{f.firstSector} * 512, f.size), f.sha256);
    types.insert(f.type);
  }
  EXPECT_EQ(types, (std::set<std::string>{"JPG", "BMP", "GIF", "PNG", "TIF", "WAV", "AVI", "RIFF",
                                          "MOV"}));
  // Only the files' first sectors look like headers.
  std::set<std::uint32_t> starts;
  for (const SampleFile& f : files) starts.insert(f.firstSector);
  for (std::uint32_t s = 0; s < card.size() / 512; ++s) {
    ASSERT_EQ(LooksLikeHeader(card.data() + std::size_t{s} * 512), starts.count(s) == 1) << s;
  }
}

TEST_F(SampleCardTest, SameSeedSameCardAndPhotosHaveBothHeaders) {
  WriteSampleCard((dir / "again.img").string(), options);
  EXPECT_TRUE(ReadBytes(dir / "again.img") == card);
  const auto jfif = EncodeJpeg(64, 48, false, 3);
  const auto exif = EncodeJpeg(64, 48, true, 3);
  EXPECT_EQ(std::vector<std::uint8_t>(jfif.begin(), jfif.begin() + 4),
            (std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}));
  EXPECT_EQ(std::vector<std::uint8_t>(exif.begin(), exif.begin() + 4),
            (std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE1}));
  EXPECT_EQ(jfif.back(), 0xD9);  // a complete file ends with EOI
}

// Scans the card with every type searched for; the files stored, in order.
std::vector<std::vector<std::uint8_t>> ScanCard(const std::vector<std::uint8_t>& card,
                                                const fs::path& dir, TRecordingHost& host) {
  FakePlatform platform;
  FakeVolume& volume = platform.AddVolume('E', static_cast<std::uint32_t>(card.size() / 512));
  volume.data = card;
  host.geometry.TotalSectors = static_cast<std::uint32_t>(card.size() / 512);
  host.geometry.BytesPerSector = 512;
  fs::remove_all(dir / "out");
  fs::create_directories(dir / "out");
  host.destination = (dir / "out").string() + "/";
  host.types = AllSearchTypes();
  if (host.sectorsAtOnce == 100) host.sectorsAtOnce = 4000;
  InitDiskAccess(platform);
  RunScan(host);
  DoneDiskAccess();  // before the fake goes
  std::vector<std::vector<std::uint8_t>> stored;
  for (const std::string& name : host.stored) {
    stored.push_back(ExpandStored(host.destination + name + ".rdf", dir));
  }
  return stored;
}

TEST_F(SampleCardTest, CheckedScanCutsEveryFileAtItsEnd) {
  TRecordingHost host;
  host.checkFiles = true;
  const auto stored = ScanCard(card, dir, host);
  ASSERT_EQ(stored.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const SampleFile& f = files[i];
    EXPECT_EQ(host.stored[i], "img" + std::to_string(i + 1) + "." + f.type);
    // Exact, to the byte; a TIFF's end cannot be told, so it runs to the next header.
    if (f.type != "TIF") {
      EXPECT_EQ(stored[i].size(), f.size) << f.type;
    }
    ASSERT_GE(stored[i].size(), f.size);
    EXPECT_EQ(Sha256Hex(stored[i].data(), f.size), f.sha256) << f.type;
  }

  // The box counts from the sector it is read at: ticked only from the middle
  // of the card on, the files before run to the next header as without it.
  TRecordingHost late;
  const std::uint32_t middle = files[files.size() / 2].firstSector;
  late.onSector = [&late, middle](std::uint32_t sector) { late.checkFiles = sector >= middle; };
  const auto mixed = ScanCard(card, dir, late);
  ASSERT_EQ(mixed.size(), files.size());
  EXPECT_EQ(mixed[0].size(), std::uint64_t{files[1].firstSector - files[0].firstSector} * 512);
  EXPECT_EQ(mixed.back().size(), stored.back().size());
}

TEST_F(SampleCardTest, ScanWithEveryTypeBringsEveryFileBack) {
  TRecordingHost host;
  ScanCard(card, dir, host);

  ASSERT_EQ(host.stored.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const SampleFile& f = files[i];
    EXPECT_EQ(host.stored[i], "img" + std::to_string(i + 1) + "." + f.type);
    TZlibTool zlib;
    zlib.InputFile = host.destination + host.stored[i] + ".rdf";
    zlib.OutputFile = (dir / "restored").string();
    zlib.Decompress();
    const auto carved = ReadBytes(dir / "restored");
    // The carved file runs to the next header (or the card's end) in whole sectors.
    const std::uint64_t next = i + 1 < files.size() ? files[i + 1].firstSector : card.size() / 512;
    ASSERT_EQ(carved.size(), (next - f.firstSector) * 512) << i;
    EXPECT_EQ(Sha256Hex(carved.data(), f.size), f.sha256) << i;
  }
}

}  // namespace
