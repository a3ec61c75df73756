// SPDX-License-Identifier: GPL-3.0-or-later
// The built fernhollow-carve as a user or a script runs it: exit statuses,
// what goes to stdout and stderr, and the files it leaves in DEST.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "cli/arguments.h"
#include "tests/support/loopdevice.h"
#include "tests/support/mountedimage.h"
#include "tests/support/nbdharness.h"
#include "tests/support/refusednodes.h"
#include "tests/support/samplecard.h"
#include "tests/support/sha256.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

struct TRun {
  int status = -1;  // the exit status; 128 + signal when killed by one
  std::string out;
  std::string err;
};

// Runs the program to its end. whileRunning is called about every
// millisecond with its process id.
TRun RunProgram(const std::vector<std::string>& arguments,
                const std::function<void(pid_t)>& whileRunning = {}) {
  std::vector<std::string> words{FH_CARVE_PROGRAM};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  TRun run;
  pollfd fds[] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* texts[] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    ::poll(fds, 2, 1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    if (whileRunning) whileRunning(pid);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<fs::path> FilesEndingIn(const fs::path& folder, const std::string& ending) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().string().ends_with(ending)) files.push_back(entry.path());
  }
  return files;
}

class ProgramTest : public ::testing::Test {
 protected:
  // A sample card; files[i] is what the scan numbers i + 1 when it searches for every type.
  void MakeCard(std::uint64_t bytes, double photoFill) {
    SampleCardOptions options;
    options.bytes = bytes;
    options.photoFill = photoFill;
    files = WriteSampleCard(card, options);
  }

  // The files of the card that a scan wrote out must begin with their bytes.
  void ExpectWholeFile(const fs::path& written, const SampleFile& file) {
    const std::vector<std::uint8_t> bytes = ReadBytes(written);
    ASSERT_GE(bytes.size(), file.size) << written;
    EXPECT_EQ(bytes.size() % 512, 0u) << written;
    EXPECT_EQ(Sha256Hex(bytes.data(), file.size), file.sha256) << written;
  }

  TTempDir scratch;
  const std::string card = (scratch.Path() / "card.img").string();
  const fs::path dest = scratch.Path() / "out";
  std::vector<SampleFile> files;
};

TEST_F(ProgramTest, BadArgumentsExitWithTwoAndTouchNothing) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "missing SOURCE and DEST"},
      {{card, dest.string(), "--retries", "200"},
       "--retries takes a whole number from 0 to 100, not '200'"},
      {{"--types=jpg,foo", card, dest.string()},
       "unknown type 'foo' in --types (use jpg, bmp, gif, tif, png, wav, avi, riff, mov, other or all)"},
      {{card, "-o", dest.string()}, "unknown option '-o'"},
  };
  for (const auto& [arguments, message] : cases) {
    const TRun run = RunProgram(arguments);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "fernhollow-carve: " + message +
                           "\nTry 'fernhollow-carve --help' for more information.\n");
  }
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(ProgramTest, HelpAndVersionGoToStdout) {
  TRun run = RunProgram({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, UsageText());
  EXPECT_EQ(run.err, "");
  run = RunProgram({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string("fernhollow-carve ") + FH_VERSION + "\n");
}

TEST_F(ProgramTest, ASampleCardComesBackWholeAndOnlyThePlainFilesStay) {
  MakeCard(2 << 20, 0.5);
  const TRun run = RunProgram({"--types", "all", card, dest.string()});
  ASSERT_EQ(run.status, 0) << run.err;

  // The folder was made; each file's path printed once it is written out.
  const std::string folder = fs::canonical(dest).string() + "/";
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < files.size(); ++i) {
    expected.push_back(folder + "recovered" + std::to_string(i + 1) + "." + files[i].type);
  }
  EXPECT_EQ(Lines(run.out), expected);
  for (std::size_t i = 0; i < files.size(); ++i) {
    ExpectWholeFile(expected[i], files[i]);
    // Each runs to the next header, or to the card's end.
    const std::uint64_t next = i + 1 < files.size() ? files[i + 1].firstSector : (2 << 20) / 512;
    EXPECT_EQ(fs::file_size(expected[i]), (next - files[i].firstSector) * 512) << i;
  }
  EXPECT_TRUE(FilesEndingIn(dest, ".rdf").empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dest), {}), std::ssize(files));
  EXPECT_NE(run.err.find("scanned 2.1 MB"), std::string::npos) << run.err;
  // The window's end line, on a line of its own.
  EXPECT_TRUE(std::regex_search(
      run.err, std::regex("\nfernhollow-carve: Finished: " + std::to_string(files.size()) +
                          " files in [0-9]+:[0-5][0-9]:[0-5][0-9]\n")))
      << run.err;
}

TEST_F(ProgramTest, KeepStoredKeepsTheCompressedCopies) {
  MakeCard(2 << 20, 0.5);
  fs::create_directory(dest);
  const TRun run = RunProgram({card, dest.string(), "--keep-stored", "--prefix", "img"});
  ASSERT_EQ(run.status, 0) << run.err;

  // JPEG only by default, numbered among themselves.
  std::vector<SampleFile> photos;
  for (const SampleFile& f : files) {
    if (f.type == "JPG") photos.push_back(f);
  }
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), photos.size());
  for (std::size_t i = 0; i < photos.size(); ++i) {
    const std::string plain = (dest / ("img" + std::to_string(i + 1) + ".JPG")).string();
    EXPECT_EQ(lines[i], plain);
    ExpectWholeFile(plain, photos[i]);
    EXPECT_TRUE(fs::exists(plain + ".rdf")) << plain;
  }
  EXPECT_EQ(FilesEndingIn(dest, ".rdf").size(), photos.size());
}

TEST_F(ProgramTest, ASourceOrDestinationThatCannotBeUsedExitsWithOne) {
  MakeCard(2 << 20, 0.5);
  TRun run = RunProgram({(scratch.Path() / "nope.img").string(), dest.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot read " + (scratch.Path() / "nope.img").string() +
                         ": No such file or directory"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(dest));

  // Only the last part of DEST is made.
  const fs::path deep = dest / "deeper";
  run = RunProgram({card, deep.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("its parent folder does not exist"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dest));

  run = RunProgram({card, card});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("it is not a folder"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

// Root refused a device by the system itself hears the system's reason, not
// advice about rights it has; a read-only folder is refused before reading.
TEST_F(ProgramTest, RootRefusedADeviceOrAFolderHearsTheSystemsReason) {
  TRefusedNodes nodes(scratch.Path() / "nodes");
  if (!nodes.Add("card")) GTEST_SKIP() << "needs root and a tmpfs mounted nodev";
  TRun run = RunProgram({(nodes.Folder() / "card").string(), dest.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("disk group"), std::string::npos) << run.err;

  MakeCard(2 << 20, 0.5);
  const fs::path readOnly = scratch.Path() / "ro";
  fs::create_directories(readOnly);
  if (::mount("tmpfs", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) return;
  run = RunProgram({card, readOnly.string()});
  ::umount2(readOnly.c_str(), MNT_DETACH);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Read-only file system"), std::string::npos) << run.err;
}

TEST_F(ProgramTest, ADestinationOnTheSearchedImageIsRefused) {
  // An image holding a file system, mounted: a destination inside it lies on
  // the very image being searched.
  TMountedImage medium(scratch.Path());
  if (::geteuid() != 0 || !medium.Mounted())
    GTEST_SKIP() << "needs root, mkfs.ext4 and loop mounts";
  const fs::path image = medium.Image();
  const fs::path mount = medium.MountPoint();
  const TRun run = RunProgram({image.string(), (mount / "out").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("it is on the drive being searched"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(mount / "out"));  // nothing made there
  // Beside the image is fine.
  MakeCard(1 << 20, 0.5);
  EXPECT_EQ(RunProgram({image.string(), dest.string()}).status, 0);
}

TEST_F(ProgramTest, SigintStopsTheScanAndWhatWasFoundIsStillWrittenOut) {
  // Photos at the front, then free space long enough that the scan is still
  // running when the signal comes (the card is sparse on disk).
  MakeCard(512 << 20, 0.002);
  bool sent = false;
  const TRun run = RunProgram({"--types", "all", card, dest.string()}, [&](pid_t pid) {
    // The first stored copy means the scan has found something.
    if (!sent && fs::exists(dest) && !FilesEndingIn(dest, ".rdf").empty()) {
      ::kill(pid, SIGINT);
      sent = true;
    }
  });
  ASSERT_TRUE(sent);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Stopping"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("stopped early"), std::string::npos) << run.err;
  std::smatch cancelled;
  ASSERT_TRUE(std::regex_search(
      run.err, cancelled,
      std::regex("\nfernhollow-carve: Cancelled at sector ([0-9]+) of 1048576: ([0-9]+) files?\n")))
      << run.err;
  EXPECT_LT(std::stoul(cancelled[1]), 1048576u);

  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  ASSERT_LE(lines.size(), files.size());
  EXPECT_TRUE(FilesEndingIn(dest, ".rdf").empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dest), {}), std::ssize(lines));
  const std::string folder = fs::canonical(dest).string() + "/";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string path = folder + "recovered" + std::to_string(i + 1) + "." + files[i].type;
    // The last one was open when the scan stopped and is cut there: it says so.
    if (i + 1 == lines.size()) {
      EXPECT_EQ(lines[i], path + " (cut at the stop)");
      // Stopped after a chunk or so, not at the card's end.
      EXPECT_LT(fs::file_size(path), std::uintmax_t{64} << 20);
    } else {
      EXPECT_EQ(lines[i], path);
      ExpectWholeFile(lines[i], files[i]);
    }
  }
}

TEST_F(ProgramTest, ASecondSignalDuringTheWriteOutLeavesNoPartialFile) {
  // One photo whose carved file runs over 192 MB of data that never looks
  // like a header, so writing it out takes long enough to be interrupted.
  {
    std::ofstream image(card, std::ios::binary);
    const std::vector<std::uint8_t> photo = EncodeJpeg(64, 48, true, 3);
    std::vector<std::uint8_t> block(1 << 20);
    image.write(reinterpret_cast<const char*>(photo.data()), std::ssize(photo));
    std::uint64_t state = 88172645463325252ull;
    for (int mb = 0; mb < 192; ++mb) {
      for (std::size_t i = 0; i < block.size(); i += 8) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        std::memcpy(&block[i], &state, 8);
      }
      for (std::size_t i = 0; i < block.size(); i += 512) block[i] = 0;  // no sector a header
      image.write(reinterpret_cast<const char*>(block.data()), std::ssize(block));
    }
  }
  const fs::path plain = dest / "recovered1.JPG";
  const fs::path stored = dest / "recovered1.JPG.rdf";
  const auto expanding = [&] {
    // The write-out has begun: the stored copy is there, its expansion under way.
    if (!fs::exists(stored) || fs::exists(plain)) return false;
    for (const auto& entry : fs::directory_iterator(dest)) {
      if (entry.path().filename().string().starts_with(".fh-")) return true;
    }
    return false;
  };
  int sent = 0;
  const TRun run = RunProgram({card, dest.string()}, [&](pid_t pid) {
    if (sent == 0 && fs::exists(dest) && expanding()) {
      ::kill(pid, SIGINT);
      ++sent;
    } else if (sent == 1) {
      ::usleep(20000);  // two signals sent at once may arrive as one
      ::kill(pid, SIGTERM);
      ++sent;
    }
  });
  ASSERT_EQ(sent, 2) << run.err;
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, "");
  // The file is left as its stored copy, said so, and nothing half-written stays.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dest)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"recovered1.JPG.rdf"});
  EXPECT_NE(run.err.find("kept stored: " + fs::canonical(stored).string()), std::string::npos)
      << run.err;
}

TEST_F(ProgramTest, ASourceSmallerThanOneSectorSaysSoAndLeavesNoFolder) {
  for (const std::uintmax_t size : {0, 511}) {
    std::ofstream(card, std::ios::trunc).close();
    fs::resize_file(fs::path(card), size);
    const TRun run = RunProgram({card, dest.string()});
    EXPECT_EQ(run.status, 1) << size;
    EXPECT_NE(run.err.find(card + " does not hold one whole sector"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dest)) << size;
  }
  // A folder made for a run that writes nothing goes again; one that was there stays.
  fs::resize_file(fs::path(card), 1 << 20);
  EXPECT_EQ(RunProgram({card, dest.string()}).status, 0);
  EXPECT_FALSE(fs::exists(dest));
  fs::create_directory(dest);
  EXPECT_EQ(RunProgram({card, dest.string()}).status, 0);
  EXPECT_TRUE(fs::is_directory(dest));
}

// Cards as block devices: photos at 4 KiB boundaries with empty space between,
// so every sector size finds the same files, each running to the next photo.
class DeviceProgramTest : public ProgramTest {
 protected:
  static constexpr std::uint64_t kCardBytes = 8 << 20;

  void SetUp() override {
    if (const std::string missing = TLoopDevice::MissingPrerequisite(); !missing.empty()) {
      GTEST_SKIP() << missing;
    }
    image.assign(kCardBytes, 0);
    const std::uint64_t starts[] = {64 << 10, 1 << 20, (3 << 20) + 3 * 4096, 6 << 20};
    for (std::size_t i = 0; i < std::size(starts); ++i) {
      const std::vector<std::uint8_t> photo =
          EncodeJpeg(120 + 16 * static_cast<int>(i), 90, i % 2 == 0, static_cast<std::uint32_t>(i));
      std::copy(photo.begin(), photo.end(), image.begin() + static_cast<std::ptrdiff_t>(starts[i]));
      const std::uint64_t end = i + 1 < std::size(starts) ? starts[i + 1] : kCardBytes;
      expected.emplace_back(image.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                            image.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }

  static void Write(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
  }

  // The command line on source: every photo comes back exactly as the card holds it.
  void ExpectCardRecovered(const std::string& source, std::uint32_t sectorBytes) {
    fs::remove_all(dest);
    const TRun run = RunProgram({source, dest.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("sectors of " + std::to_string(sectorBytes) + " bytes"),
              std::string::npos)
        << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), expected.size()) << run.out << run.err;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i],
                fs::canonical(dest).string() + "/recovered" + std::to_string(i + 1) + ".JPG");
      EXPECT_TRUE(ReadBytes(lines[i]) == expected[i]) << lines[i];
    }
  }

  std::vector<std::uint8_t> image;
  std::vector<std::vector<std::uint8_t>> expected;
};

TEST_F(DeviceProgramTest, AWholeDiskAndOneOfFourKilobyteSectors) {
  const fs::path cardImage = scratch.Path() / "card.img";
  Write(cardImage, image);
  {
    TLoopDevice disk(cardImage);
    ASSERT_TRUE(disk.Ready()) << disk.Problem();
    ExpectCardRecovered(disk.Device(), 512);
  }
  TLoopDevice disk(cardImage, "--sector-size 4096");
  ASSERT_TRUE(disk.Ready()) << disk.Problem();
  ExpectCardRecovered(disk.Device(), 4096);
}

TEST_F(DeviceProgramTest, APartition) {
  // The card as the first partition of a disk, 1 MiB in, as cards are formatted.
  constexpr std::uint32_t kFirst = 2048;
  std::vector<std::uint8_t> partitioned(std::size_t{kFirst} * 512, 0);
  std::uint8_t* entry = &partitioned[446];
  entry[4] = 0x0C;  // FAT32 (LBA)
  const std::uint32_t sectors = static_cast<std::uint32_t>(kCardBytes / 512);
  for (int b = 0; b < 4; ++b) {
    entry[8 + b] = static_cast<std::uint8_t>(kFirst >> (8 * b));
    entry[12 + b] = static_cast<std::uint8_t>(sectors >> (8 * b));
  }
  partitioned[510] = 0x55;
  partitioned[511] = 0xAA;
  partitioned.insert(partitioned.end(), image.begin(), image.end());
  const fs::path diskImage = scratch.Path() / "disk.img";
  Write(diskImage, partitioned);
  TLoopDevice disk(diskImage, "--partscan");
  ASSERT_TRUE(disk.Ready()) << disk.Problem();
  const std::string partition = disk.Partition(1);
  if (partition.empty()) {
    GTEST_SKIP() << "the kernel made no partition of " << disk.Device()
                 << " (no MBR partition support?)";
  }
  ExpectCardRecovered(partition, 512);
}

TEST_F(DeviceProgramTest, ADeviceWithBadSectorsPassesThemOver) {
  if (const std::string missing = TNbdHarness::MissingPrerequisite(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const fs::path cardImage = scratch.Path() / "card.img";
  Write(cardImage, image);
  // In the empty space between photos: what comes back is the card as it was.
  const std::vector<std::uint32_t> bad = {1000, 1001, 4000, 16383};
  fs::create_directories(scratch.Path() / "nbd");
  TNbdHarness harness(cardImage, bad, scratch.Path() / "nbd");
  if (!harness.Ready()) GTEST_SKIP() << "no damaged card on this machine: " << harness.Problem();
  const int before = harness.FailedReads();
  ExpectCardRecovered(harness.Device(), 512);
  // Each bad sector: its chunk's failed read, then two single attempts (one retry).
  if (harness.DirectIo()) {
    EXPECT_EQ(harness.FailedReads() - before, std::ssize(bad) * 3);
  }
}

}  // namespace
