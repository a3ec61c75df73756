// SPDX-License-Identifier: GPL-3.0-or-later
// The console host over the real scan and a fake card: the settings it hands
// over, and how it tells a finished scan from one that ended early.
#include "cli/consolehost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/support/fakeplatform.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSector = 512;

// What the host writes to stderr.
class TCapture {
 public:
  TCapture() : file_(open_memstream(&buffer_, &size_)) {}
  ~TCapture() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* File() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return {buffer_, size_};
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

class ConsoleHostTest : public ::testing::Test {
 protected:
  void TearDown() override { DoneDiskAccess(); }

  // A card of the given size with JPEG headers where asked, as drive C:.
  void Card(std::uint32_t sectors, std::initializer_list<std::uint32_t> jpegs) {
    card = &platform.AddVolume('C', sectors);
    for (std::uint32_t s = 0; s < sectors; ++s) card->data[std::size_t{s} * kSector] = 0x55;
    for (std::uint32_t s : jpegs) {
      const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE0};
      std::copy(std::begin(header), std::end(header), card->data.begin() + s * kSector);
    }
    geometry.TotalSectors = sectors;
    geometry.BytesPerSector = kSector;
  }

  TConsoleScanHost& Scan(bool terminal = false) {
    host = std::make_unique<TConsoleScanHost>(options, destination, geometry, stop, err.File(),
                                              terminal, clock);
    InitDiskAccess(platform);
    host->Run();
    return *host;
  }

  std::size_t FilesIn(const fs::path& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
  }

  TTempDir scratch;
  FakePlatform platform;
  FakeVolume* card = nullptr;
  TDriveGeometry geometry{};
  TCarveOptions options;
  std::string destination = scratch.Path().string() + "/";
  volatile std::sig_atomic_t stop = 0;
  TCapture err;
  TScanClock clock = &std::chrono::steady_clock::now;
  std::unique_ptr<TConsoleScanHost> host;
};

TEST_F(ConsoleHostTest, AScanToTheLastSectorIsComplete) {
  Card(1000, {0, 300, 999});
  // A read error is no reason to call the scan incomplete.
  card->unreadable = {500};
  TConsoleScanHost& h = Scan();
  EXPECT_EQ(h.Stored(),
            (std::vector<std::string>{"recovered1.JPG", "recovered2.JPG", "recovered3.JPG"}));
  EXPECT_EQ(h.Found(), 3);
  EXPECT_GT(h.ReadErrors(), 0);
  EXPECT_TRUE(h.ReachedEnd());
  EXPECT_TRUE(h.Complete());
  EXPECT_FALSE(h.Cancelled());
  // The window's default: a hundredth of the card per read.
  EXPECT_EQ(platform.reads.front().size, 10 * kSector);
  EXPECT_EQ(FilesIn(scratch.Path()), 3u);  // the stored copies, for the write-out
}

TEST_F(ConsoleHostTest, SectorsAtOnceDefaultsAsTheWindowSetsThem) {
  const auto chunk = [this](std::uint32_t total, std::uint32_t bytesPerSector) {
    TDriveGeometry shape{};
    shape.TotalSectors = total;
    shape.BytesPerSector = bytesPerSector;
    return TConsoleScanHost(options, destination, shape, stop, err.File(), false).SectorsAtOnce();
  };
  EXPECT_EQ(chunk(1000, 512), 10);
  EXPECT_EQ(chunk(150, 512), 1);          // never 0
  EXPECT_EQ(chunk(15523840, 512), 4000);  // the buffer's 2048000 bytes
  EXPECT_EQ(chunk(15523840, 4096), 500);
  options.sectorsAtOnce = 7;
  EXPECT_EQ(chunk(15523840, 512), 7);
}

TEST_F(ConsoleHostTest, AStopSignalEndsTheScanAfterItsChunkWithWhatWasFound) {
  Card(1000, {0, 5, 500});
  options.sectorsAtOnce = 10;
  platform.onRead = [this] { stop = 1; };  // arrives while the first chunk is read
  TConsoleScanHost& h = Scan();
  // The first chunk is carved to its end and the open file stored.
  EXPECT_EQ(h.Stored(), (std::vector<std::string>{"recovered1.JPG", "recovered2.JPG"}));
  EXPECT_EQ(platform.reads.size(), 1u);
  EXPECT_TRUE(h.Cancelled());
  EXPECT_FALSE(h.ReachedEnd());
  EXPECT_FALSE(h.Complete());
  EXPECT_NE(err.Text().find("Stopping"), std::string::npos);
}

TEST_F(ConsoleHostTest, AStopSignalBeforeTheScanStillStopsIt) {
  Card(1000, {0, 500});
  stop = 1;
  TConsoleScanHost& h = Scan();
  EXPECT_TRUE(platform.reads.empty());
  EXPECT_TRUE(h.Stored().empty());
  EXPECT_FALSE(h.Complete());
}

TEST_F(ConsoleHostTest, ACardTakenOutEndsTheScanEarly) {
  Card(1000, {0, 5, 500});
  options.sectorsAtOnce = 10;
  platform.onRead = [this] {
    if (platform.reads.size() == 3) platform.deviceGone = true;
  };
  TConsoleScanHost& h = Scan();
  EXPECT_TRUE(h.MediumGone());
  EXPECT_FALSE(h.DestinationFailed());
  EXPECT_FALSE(h.Complete());
  EXPECT_EQ(h.Stored().size(), 2u);  // the open file is still stored
  EXPECT_NE(err.Text().find("fernhollow-carve: The drive can no longer be read"),
            std::string::npos);
}

TEST_F(ConsoleHostTest, ADestinationThatCannotBeWrittenEndsTheScanEarly) {
  Card(1000, {0, 500});
  destination = (scratch.Path() / "gone").string() + "/";
  TConsoleScanHost& h = Scan();
  EXPECT_TRUE(h.DestinationFailed());
  EXPECT_FALSE(h.MediumGone());
  EXPECT_FALSE(h.ReachedEnd());
  EXPECT_FALSE(h.Complete());
  EXPECT_NE(err.Text().find("fernhollow-carve: Could not create destination file: " + destination +
                            "recovered1.JPG!\n"),
            std::string::npos);
}

TEST_F(ConsoleHostTest, OnATerminalWarningsBeginOnALineOfTheirOwn) {
  Card(1000, {0, 500});
  destination = (scratch.Path() / "gone").string() + "/";
  Scan(true);
  const std::string text = err.Text();
  // The progress line is drawn after a "\r" and blanked before the warning.
  ASSERT_EQ(text.front(), '\r');
  const std::string progress = text.substr(1, text.find('\r', 1) - 1);
  EXPECT_NE(progress.find("read errors"), std::string::npos) << progress;
  const std::size_t warning = text.find("fernhollow-carve: Could not create");
  ASSERT_NE(warning, std::string::npos) << text;
  EXPECT_EQ(text.substr(progress.size() + 1, warning - progress.size() - 1),
            "\r" + std::string(progress.size(), ' ') + "\r");
  // Off a terminal, a short scan prints no progress line at all.
  TCapture plain;
  TConsoleScanHost quiet(options, destination, geometry, stop, plain.File(), false);
  RunScan(quiet);
  EXPECT_EQ(plain.Text().find('\r'), std::string::npos);
  EXPECT_EQ(plain.Text().find("read errors"), std::string::npos);
}

TEST_F(ConsoleHostTest, TheLastLineOfTheScanSaysHowItEnded) {
  // A slow card: every read takes a second by the host's clock.
  std::chrono::steady_clock::time_point now{};
  clock = [&now] { return now; };
  Card(1000, {0, 5, 500});
  options.sectorsAtOnce = 10;
  const auto lastLine = [this] {
    platform.reads.clear();
    Scan();
    const std::string text = err.Text();
    const std::size_t start = text.rfind('\n', text.size() - 2);
    return text.substr(start == std::string::npos ? 0 : start + 1);
  };

  platform.onRead = [&now] { now += std::chrono::seconds(1); };
  EXPECT_EQ(lastLine(), "fernhollow-carve: Finished: 3 files in 0:01:40\n");

  platform.onRead = [&] {
    now += std::chrono::seconds(1);
    if (platform.reads.size() == 20) stop = 1;  // while sectors 200 to 209 are read
  };
  EXPECT_EQ(lastLine(), "fernhollow-carve: Cancelled at sector 210 of 1000: 2 files\n");

  // One header in the first run of sectors, and its file cannot be made.
  stop = 0;
  platform.onRead = nullptr;
  options.sectorsAtOnce = 5;
  destination = (scratch.Path() / "gone").string() + "/";
  // Only files made count: none was.
  EXPECT_EQ(lastLine(), "fernhollow-carve: Stopped: the destination cannot be written: 0 files\n");
}

TEST(ProgressTextTest, PercentSpeedAndTimeLeft) {
  EXPECT_EQ(ProgressText(50'000'000, 100'000'000, 5.0, 12, 3),
            " 50.0%  10.0 MB/s  0:00:05 left  12 files found  3 read errors");
  // Nothing read yet: no speed to tell the time left by.
  EXPECT_EQ(ProgressText(0, 100'000'000, 0.0, 0, 0),
            "  0.0%  0.0 MB/s  --:--:-- left  0 files found  0 read errors");
  EXPECT_EQ(ProgressText(100, 100, 1.0, 1, 0).substr(0, 6), "100.0%");
  EXPECT_EQ(DurationText(3725.4), "1:02:05");
  EXPECT_EQ(DurationText(59.6), "0:01:00");
  EXPECT_EQ(DurationText(-1), "0:00:00");
}

}  // namespace
