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
#include <filesystem>
#include <functional>
#include <sstream>

#include "cli/arguments.h"
#include "tests/support/mountedimage.h"
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
       "unknown type 'foo' in --types (use jpg, bmp, gif, tif, png, wav, avi, riff, mov or all)"},
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

TEST_F(ProgramTest, ADestinationOnTheSearchedImageIsRefused) {
  // An image holding a file system, mounted: a destination inside it lies on
  // the very image being searched.
  TMountedImage medium(scratch.Path());
  if (::geteuid() != 0 || !medium.Mounted()) GTEST_SKIP() << "needs root, mkfs.ext4 and loop mounts";
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

  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  ASSERT_LE(lines.size(), files.size());
  EXPECT_TRUE(FilesEndingIn(dest, ".rdf").empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dest), {}), std::ssize(lines));
  const std::string folder = fs::canonical(dest).string() + "/";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], folder + "recovered" + std::to_string(i + 1) + "." + files[i].type);
    // The last one was cut where the scan stopped, maybe inside the file.
    if (i + 1 < lines.size()) ExpectWholeFile(lines[i], files[i]);
  }
  // Stopped after a chunk or so, not at the card's end.
  EXPECT_LT(fs::file_size(lines.back()), std::uintmax_t{64} << 20);
}

}  // namespace
