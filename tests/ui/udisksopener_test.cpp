// SPDX-License-Identifier: GPL-3.0-or-later
// The window's opener against a fake udisks2 on a private bus: what it asks
// for, what it hands over, and the reasons it gives.
#include "ui/udisksopener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "tests/support/norights.h"
#include "tests/support/privatebus.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

std::uint8_t PatternByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset >> 9) * 131 + offset * 7);
}

std::vector<std::uint8_t> Pattern(std::uint64_t bytes) {
  std::vector<std::uint8_t> data(bytes);
  for (std::uint64_t i = 0; i < bytes; ++i) data[i] = PatternByte(i);
  return data;
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::string OpenFlags() {
  return std::to_string(O_CLOEXEC);
}

class UdisksOpenerTest : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kCardBytes = 256 * 1024;

  void SetUp() override {
    const std::string missing = TPrivateBus::MissingPrerequisite();
    if (!missing.empty()) GTEST_SKIP() << missing;
    bus_ = std::make_unique<TPrivateBus>(tmp_.Path());
    ASSERT_TRUE(bus_->Running()) << bus_->Problem();
    WriteFile(card_, Pattern(kCardBytes));
  }

  // The fake udisks2 on the private bus, serving the card and the given devices.
  void StartUdisks(std::vector<std::string> flags, const std::vector<std::string>& devices = {}) {
    std::vector<std::string> argv{FH_FAKE_UDISKS2};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back("--log=" + log_.string());
    argv.push_back(card_.string());
    argv.insert(argv.end(), devices.begin(), devices.end());
    ASSERT_TRUE(udisks_.Start(argv, {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_->Address()}))
        << udisks_.Problem();
  }

  // Every OpenDevice call the fake saw: "MODE FLAGS interactive|quiet DEVICE".
  std::vector<std::string> Asked() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string ReadOnlyAsk(const fs::path& device) const {
    return "r " + OpenFlags() + " interactive " + device.string();
  }

  std::unique_ptr<TUdisksOpener> Opener() {
    auto opener = std::make_unique<TUdisksOpener>(QString::fromStdString(bus_->Address()));
    opener->SetStatusDisplay([this](const QString& text) { statuses_ << text; });
    return opener;
  }

  TTempDir tmp_;
  fs::path card_ = tmp_.Path() / "card.img";
  fs::path log_ = tmp_.Path() / "asked.log";
  std::unique_ptr<TPrivateBus> bus_;
  TChildProcess udisks_;
  QStringList statuses_;
};

TEST_F(UdisksOpenerTest, HandsOverAReadOnlyDescriptorOfTheDevice) {
  // Also through the block list, as a udisks2 older than ResolveDevice needs.
  for (const std::vector<std::string>& flags :
       {std::vector<std::string>{"--grant"}, std::vector<std::string>{"--grant", "--no-resolve"}}) {
    SCOPED_TRACE(flags.back());
    fs::remove(log_);
    statuses_.clear();
    StartUdisks(flags, {(tmp_.Path() / "other.img").string()});
    auto opener = Opener();
    std::string why;
    const int fd = opener->Open(card_.string(), why);
    ASSERT_GE(fd, 0) << why;
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    std::vector<std::uint8_t> bytes(kCardBytes);
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(kCardBytes));
    EXPECT_EQ(bytes, Pattern(kCardBytes));
    ::close(fd);
    EXPECT_EQ(statuses_, QStringList{"Asking for access to " + QString::fromStdString(card_)});
    EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(card_)});

    EXPECT_EQ(opener->Open((tmp_.Path() / "unknown.img").string(), why), -1);
    EXPECT_EQ(why, "udisks2 does not know " + (tmp_.Path() / "unknown.img").string());
    udisks_.Stop();
  }
}

TEST_F(UdisksOpenerTest, RefusalSaysAccessRefused) {
  StartUdisks({"--refuse"});
  std::string why;
  EXPECT_EQ(Opener()->Open(card_.string(), why), -1);
  EXPECT_EQ(why, "Access refused: Not authorized to perform operation");
  EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(card_)});
}

TEST_F(UdisksOpenerTest, WithoutUdisksOrWithoutABusUdisksIsNotRunning) {
  std::string why;
  EXPECT_EQ(Opener()->Open(card_.string(), why), -1);
  EXPECT_TRUE(why.starts_with("udisks2 is not running: ")) << why;

  why.clear();
  TUdisksOpener nowhere(QString::fromStdString("unix:path=" + (tmp_.Path() / "nobus").string()));
  EXPECT_EQ(nowhere.Open(card_.string(), why), -1);
  EXPECT_TRUE(why.starts_with("udisks2 is not running: ")) << why;
}

// The program's own opener talks to the system bus, which the environment names.
TEST_F(UdisksOpenerTest, TheSystemBusIsTheOneTheEnvironmentNames) {
  StartUdisks({"--grant"});
  ASSERT_EQ(::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->Address().c_str(), 1), 0);
  TUdisksOpener opener;
  std::string why;
  const int fd = opener.Open(card_.string(), why);
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  ASSERT_GE(fd, 0) << why;
  ::close(fd);
  EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(card_)});
}

// The whole way of the window: a card reader the user may not open, its
// geometry from sysfs, access asked for once at the pick of the drive, every
// read of the scan through what udisks2 handed over.
TEST_F(UdisksOpenerTest, ADeviceTheUserMayNotOpenIsReadThroughUdisks) {
  const fs::path sys = tmp_.Path() / "sys";
  const fs::path node = tmp_.Path() / "dev" / "mmcblk0";
  fs::create_directories(sys / "mmcblk0" / "queue");
  std::ofstream(sys / "mmcblk0" / "size") << kCardBytes / 512 << "\n";
  std::ofstream(sys / "mmcblk0" / "queue" / "logical_block_size") << "512\n";
  WriteFile(node, Pattern(kCardBytes));
  fs::permissions(node, fs::perms::none);
  StartUdisks({"--grant"}, {node.string()});

  TWithoutFileRights userRights;
  if (!TWithoutFileRights::Denied(tmp_.Path() / "scratch")) {
    GTEST_SKIP() << "this test user can open files nobody may read";
  }
  auto opener = Opener();
  LinuxPlatform platform({}, sys.string(), node.parent_path().string());
  platform.SetDeviceOpener(
      [&opener](const std::string& path, std::string& why) { return opener->Open(path, why); });
  InitDiskAccess(platform);
  struct Unbind {
    ~Unbind() { DoneDiskAccess(); }
  } unbind;
  TDriveGeometry geometry{};
  ASSERT_TRUE(GetDriveGeometry(3, geometry));  // C:
  EXPECT_EQ(geometry.TotalSectors, kCardBytes / 512);
  EXPECT_TRUE(Asked().empty());
  std::string why;
  ASSERT_TRUE(platform.PrepareToRead('C', why)) << why;

  std::vector<std::uint8_t> card(kCardBytes);
  for (std::uint32_t first = 0; first < geometry.TotalSectors; first += 64) {
    ASSERT_TRUE(ReadSectors(3, first, 64, card.data() + first * 512, 64 * 512)) << first;
  }
  EXPECT_EQ(card, Pattern(kCardBytes));
  EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(node)});
}

// The same as an ordinary user on a real device: a read-only loop device of
// the card, read by a process of user nobody.
TEST_F(UdisksOpenerTest, AnOrdinaryUserReadsALoopDeviceThroughUdisks) {
  if (::geteuid() != 0 || ::access("/dev/loop-control", R_OK | W_OK) != 0 ||
      std::system("losetup --version > /dev/null 2>&1") != 0 ||
      std::system("setpriv --version > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root, /dev/loop-control, losetup and setpriv";
  }
  std::string device;
  if (FILE* out =
          ::popen(("losetup --read-only --find --show '" + card_.string() + "'").c_str(), "r")) {
    char line[256] = {};
    if (std::fgets(line, sizeof(line), out) != nullptr) device = line;
    ::pclose(out);
  }
  while (!device.empty() && std::isspace(static_cast<unsigned char>(device.back()))) {
    device.pop_back();
  }
  if (device.empty()) GTEST_SKIP() << "losetup could not attach an image here";
  struct Detach {
    std::string device;
    ~Detach() { static_cast<void>(std::system(("losetup -d '" + device + "'").c_str())); }
  } detach{device};
  StartUdisks({"--grant"}, {device});

  // The user reaches the bus and the program, but not the device.
  fs::permissions(tmp_.Path(), fs::perms::owner_all | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(tmp_.Path() / "bus", fs::perms::all);
  const fs::path copy = tmp_.Path() / "copy.img";
  const fs::path story = tmp_.Path() / "story.txt";
  const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups '" +
                              std::string(FH_READ_THROUGH_UDISKS) + "' '" + bus_->Address() +
                              "' '" + device + "' > '" + copy.string() + "' 2> '" + story.string() +
                              "'";
  const int status = std::system(command.c_str());
  const std::vector<std::uint8_t> got = ReadBytes(copy);
  std::ifstream storyIn(story);
  const std::string said{std::istreambuf_iterator<char>(storyIn), {}};
  ASSERT_EQ(status, 0) << said;
  EXPECT_NE(said.find("directly: Permission denied"), std::string::npos) << said;
  EXPECT_EQ(got, Pattern(kCardBytes));
  EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(device)});
}

}  // namespace
