#include "engine/scan.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordinghost.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSector = 512;

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { host.destination = dir.string() + "/"; }
  void TearDown() override { DoneDiskAccess(); }

  // A card whose sectors hold their own number (no header pattern), with
  // headers put in by the test.
  FakeVolume& Card(std::uint32_t sectors) {
    FakeVolume& card = platform.AddVolume('E', sectors);
    for (std::uint32_t s = 0; s < sectors; ++s) {
      std::uint8_t* sector = card.data.data() + std::size_t{s} * kSector;
      std::fill(sector, sector + kSector, static_cast<std::uint8_t>(0x30 + s % 64));
      sector[1] = static_cast<std::uint8_t>(s >> 8);
      sector[2] = static_cast<std::uint8_t>(s);
    }
    host.geometry.TotalSectors = sectors;
    host.geometry.BytesPerSector = kSector;
    return card;
  }
  static void Jpeg(FakeVolume& card, std::uint32_t sector) {
    const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE1};
    std::copy(std::begin(header), std::end(header), card.data.begin() + sector * kSector);
  }
  static void Bitmap(FakeVolume& card, std::uint32_t sector) {
    card.data[sector * kSector] = 'B';
    card.data[sector * kSector + 1] = 'M';
  }
  static std::vector<std::uint8_t> Sectors(const FakeVolume& card, std::uint32_t first,
                                           std::uint32_t count) {
    const auto begin = card.data.begin() + std::size_t{first} * kSector;
    return {begin, begin + std::size_t{count} * kSector};
  }

  void Scan() {
    InitDiskAccess(platform);
    RunScan(host);
  }

  // Expands a stored file the way a recover does.
  std::vector<std::uint8_t> Restored(const std::string& storedName) {
    TZlibTool zlib;
    zlib.InputFile = host.destination + storedName + ".rdf";
    zlib.OutputFile = (dir / "restored.bin").string();
    zlib.Decompress();
    return ReadBytes(zlib.OutputFile);
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  FakePlatform platform;
  TRecordingHost host;
};

TEST_F(ScanTest, NoHeaderNoFile) {
  Card(300);
  Scan();
  EXPECT_TRUE(host.stored.empty());
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(host.sectors.size(), 300u);
  EXPECT_EQ(host.events, (std::vector<std::string>{"SearchStarting", "ScanningStarted",
                                                   "ScanningEnded", "SearchEnded"}));
}

TEST_F(ScanTest, HeaderInSectorZeroCarvesTheWholeVolume) {
  FakeVolume& card = Card(250);
  Jpeg(card, 0);
  Scan();
  ASSERT_EQ(host.stored, std::vector<std::string>{"img1.JPG"});
  EXPECT_EQ(Files(), std::vector<std::string>{"img1.JPG.rdf"});  // the plain copy is gone
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 0, 250));
  EXPECT_EQ(host.found, 1);
}

TEST_F(ScanTest, FilesRunFromHeaderToNextHeader) {
  FakeVolume& card = Card(400);
  Jpeg(card, 10);
  Jpeg(card, 11);  // adjacent: the first file is one sector
  Jpeg(card, 150);
  Bitmap(card, 200);  // not searched for: part of the open file
  host.sectorsAtOnce = 64;
  Scan();
  ASSERT_EQ(host.stored, (std::vector<std::string>{"img1.JPG", "img2.JPG", "img3.JPG"}));
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 10, 1));
  EXPECT_EQ(Restored("img2.JPG"), Sectors(card, 11, 139));
  EXPECT_EQ(Restored("img3.JPG"), Sectors(card, 150, 250));

  // With bitmaps searched for too, sector 200 closes the third file.
  host.types.BMP = true;
  fs::remove_all(dir);
  fs::create_directories(dir);
  RunScan(host);
  ASSERT_EQ(host.stored.size(), 4u);
  EXPECT_EQ(host.stored[3], "img4.BMP");
  EXPECT_EQ(Restored("img3.JPG"), Sectors(card, 150, 50));
}

TEST_F(ScanTest, StoredNameIsCutByTheDestinationText) {
  FakeVolume& card = Card(20);
  Jpeg(card, 0);
  host.destination = dir.string();  // no trailing "/"
  Scan();
  ASSERT_EQ(host.stored, std::vector<std::string>{"/img1.JPG"});
  EXPECT_TRUE(fs::exists(dir / "img1.JPG.rdf"));
}

TEST_F(ScanTest, NumbersTakenInTheFolderAreSkipped) {
  FakeVolume& card = Card(100);
  for (std::uint32_t s : {0u, 10u, 20u, 30u}) Jpeg(card, s);
  Bitmap(card, 5);
  host.types.BMP = true;
  std::ofstream(dir / "img1.JPG") << "mine";
  std::ofstream(dir / "img2.JPG") << "mine too";
  std::ofstream(dir / "img3.JPG.rdf") << "a stored file takes no number";
  Scan();
  EXPECT_EQ(host.stored,
            (std::vector<std::string>{"img3.JPG", "img4.BMP", "img5.JPG", "img6.JPG", "img7.JPG"}));
  EXPECT_EQ(ReadBytes(dir / "img1.JPG").size(), 4u);  // never touched
  // A bitmap first is number 1: the test is made on the full name.
  host.stored.clear();
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "img1.JPG") << "mine";
  Jpeg(card, 5);
  Bitmap(card, 0);
  RunScan(host);
  EXPECT_EQ(host.stored.front(), "img1.BMP");
}

TEST_F(ScanTest, PastTheNumberBoundTheUserIsAskedAndNoSkipsTheFile) {
  FakeVolume& card = Card(30);
  Jpeg(card, 0);
  Jpeg(card, 10);
  Jpeg(card, 20);
  for (int n = 1; n <= 100001; ++n) std::ofstream(dir / ("img" + std::to_string(n) + ".JPG"));
  std::ofstream(dir / "img100004.JPG") << "old";
  host.overwriteAnswers = {false, true};
  Scan();
  ASSERT_EQ(host.questions.size(), 2u);
  EXPECT_EQ(host.questions[0], "File " + host.destination +
                                   "img100001.JPG already exists. Do you want to overwrite it?");
  // No: nothing written for the first header; the second gets the next free number.
  EXPECT_EQ(fs::file_size(dir / "img100001.JPG"), 0u);
  ASSERT_EQ(host.stored, (std::vector<std::string>{"img100003.JPG", "img100004.JPG"}));
  EXPECT_EQ(Restored("img100004.JPG"), Sectors(card, 20, 10));  // Yes: overwritten
}

TEST_F(ScanTest, MissingDestinationWarnsPerHeaderAndEndsAfterTheChunk) {
  FakeVolume& card = Card(300);
  Jpeg(card, 3);
  Jpeg(card, 7);
  Jpeg(card, 150);
  host.destination = (dir / "gone").string();
  host.sectorsAtOnce = 100;
  Scan();
  const std::string base = (dir / "gone").string() + "/";
  EXPECT_EQ(host.warnings,
            (std::vector<std::string>{"Could not create destination file: " + base + "img1.JPG!",
                                      "Could not create destination file: " + base + "img2.JPG!"}));
  EXPECT_EQ(host.sectors.size(), 100u);
  EXPECT_EQ(host.found, 2);
  EXPECT_EQ(host.events.back(), "SearchEnded");
}

TEST_F(ScanTest, FailedChunkWithoutRetriesPassesOneClearedSector) {
  FakeVolume& card = Card(40);
  Jpeg(card, 0);
  card.unreadable.insert(15);
  host.retries = 0;
  host.sectorsAtOnce = 10;
  Scan();
  // 0-9, then 10-19 fails; sector 10 is processed as cleared, 11-20 read whole.
  ASSERT_GE(platform.reads.size(), 3u);
  EXPECT_EQ(platform.reads[1].offset, 10u * kSector);
  EXPECT_EQ(platform.reads[2].offset, 11u * kSector);
  EXPECT_EQ(platform.reads[2].size, 10u * kSector);
  // Every chunk from 10-19 to 15-24 holds sector 15: each fails once and
  // passes its first sector on as cleared.
  EXPECT_EQ(host.readErrors, 6);
  std::vector<std::uint8_t> expected = Sectors(card, 0, 40);
  std::fill_n(expected.begin() + 10 * kSector, 6 * kSector, 0);
  EXPECT_EQ(Restored("img1.JPG"), expected);
}

TEST_F(ScanTest, UnreadableSectorIsPassedOneSectorAtATime) {
  FakeVolume& card = Card(64);
  Jpeg(card, 0);
  card.unreadable.insert(20);
  host.retries = 1;
  host.sectorsAtOnce = 8;
  Scan();
  // Chunks at 16..19 fail and are retried as one sector each; 20 fails twice.
  EXPECT_EQ(host.readErrors, 4 + 2);
  std::vector<std::uint8_t> expected = Sectors(card, 0, 64);
  std::fill_n(expected.begin() + 20 * kSector, kSector, 0);
  EXPECT_EQ(Restored("img1.JPG"), expected);
  // From 21 on, whole chunks again.
  EXPECT_EQ(platform.reads.back().offset, 61u * kSector);
  EXPECT_EQ(platform.reads.back().size, 3u * kSector);
}

TEST_F(ScanTest, CancelFinishesTheChunkAndStoresTheOpenFile) {
  FakeVolume& card = Card(500);
  Jpeg(card, 2);
  host.sectorsAtOnce = 50;
  host.onSector = [this](std::uint32_t sector) {
    if (sector == 20) host.cancel = true;
  };
  Scan();
  EXPECT_EQ(host.sectors.size(), 50u);
  ASSERT_EQ(host.stored, std::vector<std::string>{"img1.JPG"});
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 2, 48));
  EXPECT_EQ(host.events.back(), "SearchEnded");
}

TEST_F(ScanTest, SecondScanStartsNumberingAgain) {
  FakeVolume& card = Card(50);
  Jpeg(card, 0);
  Jpeg(card, 25);
  Scan();
  RunScan(host);
  EXPECT_EQ(host.stored, (std::vector<std::string>{"img1.JPG", "img2.JPG"}));
  EXPECT_EQ(Files(), (std::vector<std::string>{"img1.JPG.rdf", "img2.JPG.rdf"}));
  EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "SearchStarting"), 2);
}

TEST_F(ScanTest, ProgressReachesHundredAtTheLastSector) {
  Card(200);
  Scan();
  ASSERT_EQ(host.sectors.back(), 199u);
  EXPECT_EQ(ProgressPosition(199, 200), 100);
  EXPECT_EQ(ProgressPosition(0, 200), 0);
  EXPECT_EQ(ProgressPosition(1, 200), 0);  // 0.5 goes to the even 0
  EXPECT_EQ(ProgressPosition(3, 200), 2);  // 1.5 goes to 2
  EXPECT_EQ(ProgressPosition(4294967294u, 4294967295u), 100);
}

TEST_F(ScanTest, StoreErrorEndsTheScanQuietlyAndKeepsThePlainFile) {
  FakeVolume& card = Card(60);
  Jpeg(card, 0);
  Jpeg(card, 30);
  fs::create_directories(dir / "img1.JPG.rdf");  // the stored file cannot be written
  Scan();
  EXPECT_TRUE(host.stored.empty());
  EXPECT_TRUE(host.warnings.empty());
  EXPECT_EQ(ReadBytes(dir / "img1.JPG"), Sectors(card, 0, 30));
  EXPECT_EQ(host.sectors.back(), 30u);  // ended at the second header
  EXPECT_EQ(host.events, (std::vector<std::string>{"SearchStarting", "ScanningStarted",
                                                   "ScanningEnded", "SearchEnded"}));
}

TEST_F(ScanTest, FailingWritesWarnPerSectorAndEndTheScanAfterTheChunk) {
  FakeVolume& card = Card(600);
  Jpeg(card, 0);
  host.sectorsAtOnce = 200;
  // Files may not grow past 128 sectors: writes beyond fail with EFBIG.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 128 * kSector;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Scan();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);

  ASSERT_EQ(host.warnings.size(), 72u);
  EXPECT_EQ(host.warnings[0],
            "Could not write to destination file: " + host.destination + "img1.JPG!");
  EXPECT_EQ(host.sectors.size(), 200u);  // the scan ended with the chunk
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 0, 128));
}

TEST_F(ScanTest, NothingStartsWithoutADestinationOrAGeometry) {
  Card(10);
  host.destination.clear();
  Scan();
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(host.warnings.size(), 1u);

  host.destination = dir.string();
  host.geometry.TotalSectors = 0;
  RunScan(host);
  EXPECT_EQ(host.events, std::vector<std::string>{"SearchStarting"});
  EXPECT_TRUE(platform.reads.empty());
}

}  // namespace
