// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/scan.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordinghost.h"
#include "tests/support/stored.h"
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
    return ExpandStored(host.destination + storedName + ".rdf", dir);
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

TEST_F(ScanTest, StoredPathsAreWhereTheFilesWentWhateverTheDestinationReadsSince) {
  FakeVolume& card = Card(40);
  Jpeg(card, 0);
  Jpeg(card, 20);
  host.sectorsAtOnce = 10;
  // Changed on the Options tab during the scan: it only cuts the names.
  host.onSector = [&](std::uint32_t sector) {
    if (sector == 10) host.destination = "/elsewhere/quite/long/";
  };
  Scan();
  const std::string base = dir.string() + "/";
  EXPECT_EQ(host.storedPaths,
            (std::vector<std::string>{base + "img1.JPG.rdf", base + "img2.JPG.rdf"}));
  for (const std::string& path : host.storedPaths) EXPECT_TRUE(fs::exists(path)) << path;
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
  // The file skipped was never made, so it is not counted.
  EXPECT_EQ(host.found, 2);
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
  EXPECT_EQ(host.found, 0);  // neither file was made
  EXPECT_EQ(host.events.back(), "SearchEnded");
}

// Offsets (in sectors) and sizes (in sectors) of the device reads, '*' for
// the uncached ones and '!' for those that failed.
std::vector<std::string> ReadLog(const FakePlatform& platform) {
  std::vector<std::string> log;
  for (const auto& read : platform.reads) {
    log.push_back(std::to_string(read.offset / kSector) + "+" + std::to_string(read.size / kSector) +
                  (read.uncached ? "*" : "") + (read.ok ? "" : "!"));
  }
  return log;
}

TEST_F(ScanTest, BadSectorCostsOneChunkReadAndItsOwnRetries) {
  FakeVolume& card = Card(40);
  Jpeg(card, 0);
  card.unreadable.insert(15);
  host.retries = 1;
  host.sectorsAtOnce = 10;
  Scan();
  // 10-19 fails; its sectors are read one at a time past the cache up to 15,
  // which fails twice; whole chunks go on right after it.
  EXPECT_EQ(ReadLog(platform),
            (std::vector<std::string>{"0+10", "10+10!", "10+1*", "11+1*", "12+1*", "13+1*",
                                      "14+1*", "15+1*!", "15+1*!", "16+10", "26+10", "36+4"}));
  EXPECT_EQ(host.readErrors, 3);
  std::vector<std::uint8_t> expected = Sectors(card, 0, 40);
  std::fill_n(expected.begin() + 15 * kSector, kSector, 0);  // exactly that sector lost
  EXPECT_EQ(Restored("img1.JPG"), expected);
  EXPECT_EQ(host.sectors.size(), 40u);  // every sector processed once, in order
  EXPECT_TRUE(std::is_sorted(host.sectors.begin(), host.sectors.end()));

  // Without retries, one attempt each; a one-sector chunk's own read is its first.
  platform.reads.clear();
  host.retries = 0;
  RunScan(host);
  EXPECT_EQ(host.readErrors, 2);
  host.retries = 2;
  host.sectorsAtOnce = 1;
  RunScan(host);
  EXPECT_EQ(host.readErrors, 3);
  EXPECT_EQ(Restored("img1.JPG"), expected);
}

TEST_F(ScanTest, RunOfBadSectorsIsPassedOneChunkEach) {
  FakeVolume& card = Card(64);
  Jpeg(card, 0);
  card.unreadable = {20, 21, 22};
  card.unreadable.insert(63);  // the last sector
  host.retries = 1;
  host.sectorsAtOnce = 8;
  Scan();
  // Per bad sector one failed chunk read and two single attempts; the last
  // sector is a chunk of its own, whose read is its first attempt.
  EXPECT_EQ(host.readErrors, 3 * 3 + 2);
  std::vector<std::uint8_t> expected = Sectors(card, 0, 64);
  std::fill_n(expected.begin() + 20 * kSector, 3 * kSector, 0);
  std::fill_n(expected.begin() + 63 * kSector, kSector, 0);
  EXPECT_EQ(Restored("img1.JPG"), expected);
  EXPECT_EQ(host.sectors.size(), 64u);
}

TEST_F(ScanTest, VanishedDriveEndsTheScanAndKeepsWhatWasFound) {
  const std::string gone =
      "The drive can no longer be read (the card may have been removed). The files found so far "
      "are listed on the Restore tab.";
  FakeVolume& card = Card(500);
  Jpeg(card, 2);
  host.sectorsAtOnce = 50;
  host.onSector = [this](std::uint32_t sector) {
    if (sector == 20) platform.deviceGone = true;
  };
  Scan();
  // The chunk in hand is carved; the next read finds the card gone.
  EXPECT_EQ(host.sectors.size(), 50u);
  EXPECT_EQ(host.readErrors, 1);
  ASSERT_EQ(host.stored, std::vector<std::string>{"img1.JPG"});
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 2, 48));
  EXPECT_EQ(host.warnings, std::vector<std::string>{gone});
  EXPECT_EQ(platform.OpenHandles(), 0);  // the vanished device is not held

  // Gone while a failed chunk is re-read: the sectors read before still count.
  platform.deviceGone = false;
  card.unreadable = {160};
  host.onSector = nullptr;
  host.sectors.clear();
  host.warnings.clear();
  host.sectorsAtOnce = 100;
  platform.reads.clear();
  platform.onRead = [this] {
    if (platform.reads.size() == 6) platform.deviceGone = true;  // at the fifth single read
  };
  RunScan(host);
  platform.onRead = nullptr;
  EXPECT_EQ(ReadLog(platform), (std::vector<std::string>{"0+100", "100+100!", "100+1*", "101+1*",
                                                          "102+1*", "103+1*", "104+1*!"}));
  EXPECT_EQ(host.sectors.size(), 104u);
  EXPECT_EQ(host.readErrors, 2);
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 2, 102));
  EXPECT_EQ(host.warnings, std::vector<std::string>{gone});

  // A drive that cannot be opened at all: one failed read, one box.
  platform.deviceGone = false;
  card.failOpen = true;
  host.warnings.clear();
  host.sectors.clear();
  RunScan(host);
  EXPECT_EQ(host.readErrors, 1);
  EXPECT_TRUE(host.sectors.empty());
  EXPECT_EQ(host.warnings, std::vector<std::string>{gone});
  EXPECT_EQ(host.events.back(), "SearchEnded");
}

TEST_F(ScanTest, CardPutBackIsOpenedAfreshAtStart) {
  FakeVolume& card = Card(100);
  Jpeg(card, 0);
  Scan();
  EXPECT_EQ(platform.readOpens, 1);
  platform.MakeOpenHandlesStale();  // taken out and put back between two scans
  RunScan(host);
  EXPECT_EQ(platform.readOpens, 2);
  EXPECT_TRUE(host.warnings.empty());
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 0, 100));
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

TEST_F(ScanTest, ItsEndSaysWhyWhereItStoppedAndHowManyFilesItFound) {
  FakeVolume& card = Card(500);
  Jpeg(card, 2);
  Jpeg(card, 30);
  Jpeg(card, 300);
  host.sectorsAtOnce = 50;
  InitDiskAccess(platform);
  const auto scan = [this] {
    host.outcome = {};
    EXPECT_EQ(RunScan(host), host.outcome.end);
    return host.outcome;
  };

  TScanOutcome outcome = scan();
  EXPECT_EQ(outcome.end, TScanEnd::Completed);
  EXPECT_EQ(outcome.sector, 500u);
  EXPECT_EQ(outcome.totalSectors, 500u);
  EXPECT_EQ(outcome.found, 3);

  // Cancelled in the second chunk, which is still carved to its end.
  host.onSector = [this](std::uint32_t sector) {
    if (sector == 60) host.cancel = true;
  };
  outcome = scan();
  host.onSector = nullptr;
  EXPECT_EQ(outcome.end, TScanEnd::Cancelled);
  EXPECT_EQ(outcome.sector, 100u);
  EXPECT_EQ(outcome.found, 2);

  // Gone while a failed chunk is read again sector by sector: it stopped at
  // the first sector that could not be read.
  card.unreadable = {160};
  platform.reads.clear();
  platform.onRead = [this] {
    if (platform.reads.size() == 6) platform.deviceGone = true;  // the third single read
  };
  outcome = scan();
  platform.onRead = nullptr;
  platform.deviceGone = false;
  card.unreadable.clear();
  EXPECT_EQ(outcome.end, TScanEnd::DriveGone);
  EXPECT_EQ(outcome.sector, 152u);
  EXPECT_EQ(outcome.found, 2);
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

TEST_F(ScanTest, FailedStoreEndsTheScanAndSaysWhereThePlainFileIs) {
  FakeVolume& card = Card(60);
  Jpeg(card, 0);
  Jpeg(card, 30);
  fs::create_directories(dir / "img1.JPG.rdf");  // the stored file cannot be written
  Scan();
  EXPECT_TRUE(host.stored.empty());
  ASSERT_EQ(host.warnings.size(), 1u);
  EXPECT_TRUE(host.warnings[0].starts_with("Could not store " + host.destination + "img1.JPG: "))
      << host.warnings[0];
  EXPECT_EQ(ReadBytes(dir / "img1.JPG"), Sectors(card, 0, 30));
  EXPECT_EQ(host.sectors.back(), 30u);  // ended at the second header
  EXPECT_EQ(host.events, (std::vector<std::string>{"SearchStarting", "ScanningStarted",
                                                   "ScanningEnded", "SearchEnded"}));
}

TEST_F(ScanTest, LongNamesAreStoredUpToTheNameLimit) {
  FakeVolume& card = Card(20);
  Jpeg(card, 0);
  host.prefix = std::string(246, 'p');  // carved name 251 bytes, stored 255
  Scan();
  ASSERT_EQ(host.stored.size(), 1u);
  EXPECT_EQ(Restored(host.stored[0]), Sectors(card, 0, 20));
  EXPECT_TRUE(host.warnings.empty());

  // One more and the stored name no longer fits: said, not silent.
  fs::remove_all(dir);
  fs::create_directories(dir);
  host.prefix = std::string(250, 'p');
  RunScan(host);
  EXPECT_TRUE(host.stored.empty());
  ASSERT_EQ(host.warnings.size(), 1u);
  EXPECT_TRUE(host.warnings[0].starts_with("Could not store ")) << host.warnings[0];
  EXPECT_EQ(Files(), std::vector<std::string>{host.prefix + "1.JPG"});  // no temporary left
}

TEST_F(ScanTest, FailingWritesWarnOncePerFileAndChunk) {
  FakeVolume& card = Card(600);
  Jpeg(card, 0);
  Jpeg(card, 150);
  host.sectorsAtOnce = 400;
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

  EXPECT_EQ(host.warnings,
            (std::vector<std::string>{
                "Could not write to destination file: " + host.destination + "img1.JPG!",
                "Could not write to destination file: " + host.destination + "img2.JPG!"}));
  EXPECT_EQ(host.sectors.size(), 400u);  // the scan ended with the chunk
  EXPECT_EQ(Restored("img1.JPG"), Sectors(card, 0, 128));
  EXPECT_EQ(Restored("img2.JPG"), Sectors(card, 150, 128));
}

TEST_F(ScanTest, FullDestinationSaysSoOnceAndReportsTheFailedStore) {
  const fs::path full = dir / "full";
  fs::create_directories(full);
  if (::geteuid() != 0 || ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "needs root to mount a small tmpfs";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{full};
  FakeVolume& card = Card(1000);
  Jpeg(card, 0);
  host.destination = full.string();
  host.sectorsAtOnce = 1000;
  Scan();
  const std::string name = full.string() + "/img1.JPG";
  ASSERT_EQ(host.warnings.size(), 2u);
  EXPECT_EQ(host.warnings[0],
            "Could not write to destination file: " + name + "! The destination disk is full.");
  EXPECT_TRUE(host.warnings[1].starts_with("Could not store " + name + ": ")) << host.warnings[1];
  EXPECT_TRUE(host.stored.empty());
  EXPECT_TRUE(fs::exists(name));  // the carved part stays for the user
}

TEST_F(ScanTest, CarvedFilesAreNeverCreatedThroughALink) {
  const fs::path victim = dir / "victim";
  {
    std::ofstream(victim) << "keep me";
  }
  const fs::path planted = dir / "img1.JPG";
  fs::create_symlink(victim, planted);
  // Found free, then a link appears: not followed, not emptied.
  EXPECT_LT(CreateCarvedFile(planted.string(), /*replace=*/false), 0);
  // Replacing an existing name never follows a link either.
  EXPECT_LT(CreateCarvedFile(planted.string(), /*replace=*/true), 0);
  EXPECT_EQ(fs::file_size(victim), 7u);
  const int fd = CreateCarvedFile((dir / "img2.JPG").string(), false);
  EXPECT_GE(fd, 0);
  ::close(fd);
  EXPECT_LT(CreateCarvedFile((dir / "img2.JPG").string(), false), 0);  // taken meanwhile
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
