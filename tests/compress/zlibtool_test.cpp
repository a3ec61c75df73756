// SPDX-License-Identifier: GPL-3.0-or-later
#include "compress/zlibtool.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> Random(std::size_t size, std::uint32_t seed = 7) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

class ZlibToolTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir / name).string(); }

  static void Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<std::uint8_t> Read(const std::string& path) { return ReadBytes(path); }

  void Store(const std::string& plain, const std::string& stored) {
    zlib.InputFile = plain;
    zlib.OutputFile = stored;
    zlib.Compress();
  }
  void Expand(const std::string& stored, const std::string& plain) {
    zlib.InputFile = stored;
    zlib.OutputFile = plain;
    zlib.Decompress();
  }
  // Only the named files are there: no temporary was left behind.
  void ExpectOnly(std::vector<std::string> names) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
      found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(found, names);
  }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  TZlibTool zlib;
};

TEST_F(ZlibToolTest, RoundTripsOfEverySize) {
  std::vector<std::uint8_t> text;
  for (int i = 0; i < 200000; ++i) text.push_back(static_cast<std::uint8_t>("photo "[i % 6]));
  const std::vector<std::vector<std::uint8_t>> contents = {
      {}, {0x42}, Random((1 << 20) + 1), Random(3 << 20, 9), text};
  for (const auto& content : contents) {
    Write(Path("a.JPG"), content);
    Store(Path("a.JPG"), Path("a.JPG.rdf"));
    Expand(Path("a.JPG.rdf"), Path("b.JPG"));
    EXPECT_EQ(Read(Path("b.JPG")), content) << content.size();
    EXPECT_EQ(Read(Path("a.JPG")), content);  // the input is left as it was
  }
  EXPECT_LT(fs::file_size(Path("a.JPG.rdf")), text.size() / 10);
}

TEST_F(ZlibToolTest, StoredFileExpandsAgainAndAgainAndWithTheCommandLineTool) {
  const auto content = Random(700000);
  Write(Path("p.JPG"), content);
  Store(Path("p.JPG"), Path("p.JPG.rdf"));
  for (int i = 0; i < 3; ++i) {
    Expand(Path("p.JPG.rdf"), Path("p.JPG"));  // over the old plain copy
    EXPECT_EQ(Read(Path("p.JPG")), content);
  }
  const std::string command = "zstd -q -d -f " + Path("p.JPG.rdf") + " -o " + Path("cli.JPG");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Read(Path("cli.JPG")), content);
  // The frame names its size and carries a checksum.
  const auto stored = Read(Path("p.JPG.rdf"));
  EXPECT_EQ(stored[4] & 0x04, 0x04);  // Content_Checksum_flag
  ExpectOnly({"p.JPG", "p.JPG.rdf", "cli.JPG"});
}

TEST_F(ZlibToolTest, DamagedStoredFilesRaiseAndLeaveNoOutput) {
  Write(Path("p.JPG"), Random(300000));
  Store(Path("p.JPG"), Path("p.JPG.rdf"));
  const auto good = Read(Path("p.JPG.rdf"));
  fs::remove(Path("p.JPG"));

  auto flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  std::vector<std::vector<std::uint8_t>> damaged = {flipped, {}, {1, 2, 3}};
  for (std::size_t cut : {std::size_t{5}, good.size() / 3, good.size() - 1}) {
    damaged.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
  }
  auto trailing = good;
  trailing.push_back(0);
  damaged.push_back(trailing);
  for (const auto& bytes : damaged) {
    Write(Path("bad.rdf"), bytes);
    EXPECT_THROW(Expand(Path("bad.rdf"), Path("out.JPG")), TZlibError) << bytes.size();
    ExpectOnly({"p.JPG.rdf", "bad.rdf"});
  }
}

TEST_F(ZlibToolTest, FailuresKeepAnExistingOutput) {
  Write(Path("old.JPG"), {1, 2, 3});
  EXPECT_THROW(Store(Path("missing.JPG"), Path("old.JPG")), TZlibError);
  EXPECT_EQ(Read(Path("old.JPG")), (std::vector<std::uint8_t>{1, 2, 3}));

  Write(Path("bad.rdf"), {9, 9, 9, 9, 9, 9, 9, 9});
  EXPECT_THROW(Expand(Path("bad.rdf"), Path("old.JPG")), TZlibError);
  EXPECT_EQ(Read(Path("old.JPG")), (std::vector<std::uint8_t>{1, 2, 3}));

  // The same file for both would destroy the input.
  EXPECT_THROW(Store(Path("old.JPG"), Path("old.JPG")), TZlibError);
  EXPECT_EQ(Read(Path("old.JPG")), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_THROW(Store(Path("old.JPG"), Path("nowhere/x.rdf")), TZlibError);
  ExpectOnly({"old.JPG", "bad.rdf"});

  // Success replaces it.
  Write(Path("new.JPG"), {7});
  Store(Path("new.JPG"), Path("new.rdf"));
  Expand(Path("new.rdf"), Path("old.JPG"));
  EXPECT_EQ(Read(Path("old.JPG")), (std::vector<std::uint8_t>{7}));
}

TEST_F(ZlibToolTest, FullDestinationRaisesAndKeepsTheOldOutput) {
  const std::string full = Path("full");
  fs::create_directories(full);
  if (::geteuid() != 0 || ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "needs root to mount a small tmpfs";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount(path.c_str()); }
  } unmount{full};
  Write(full + "/old.rdf", {5, 5});
  Write(Path("big.JPG"), Random(1 << 20));
  EXPECT_THROW(Store(Path("big.JPG"), full + "/old.rdf"), TZlibError);
  EXPECT_EQ(Read(full + "/old.rdf"), (std::vector<std::uint8_t>{5, 5}));
  EXPECT_EQ(std::distance(fs::directory_iterator(full), fs::directory_iterator()), 1);
}

}  // namespace

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(ZlibToolTest, OutputsTakeTheModeTheUmaskGivesNotTheTemporarysOwn) {
  Write(Path("p.JPG"), Random(5000));
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
    const mode_t before = ::umask(mask);
    Store(Path("p.JPG"), Path("p.JPG.rdf"));
    Expand(Path("p.JPG.rdf"), Path("q.JPG"));
    ::umask(before);
    EXPECT_EQ(ModeOf(Path("p.JPG.rdf")), 0666 & ~mask) << std::oct << mask;
    EXPECT_EQ(ModeOf(Path("q.JPG")), 0666 & ~mask) << std::oct << mask;
  }
}

TEST_F(ZlibToolTest, AnAbortedExpansionLeavesNoPartialFile) {
  const auto content = Random(3 << 20);
  Write(Path("p.JPG"), content);
  Store(Path("p.JPG"), Path("p.JPG.rdf"));
  fs::remove(Path("p.JPG"));
  volatile std::sig_atomic_t abort = 1;
  zlib.Abort = &abort;
  EXPECT_THROW(Expand(Path("p.JPG.rdf"), Path("p.JPG")), TZlibError);
  ExpectOnly({"p.JPG.rdf"});
  abort = 0;
  Expand(Path("p.JPG.rdf"), Path("p.JPG"));
  EXPECT_EQ(Read(Path("p.JPG")), content);
}

}  // namespace
