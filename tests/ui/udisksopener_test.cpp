// SPDX-License-Identifier: GPL-3.0-or-later
// The window's opener against a fake udisks2 on a private bus: what it asks
// for, what it hands over, and the reasons it gives.
#include "ui/udisksopener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "tests/support/norights.h"
#include "tests/support/privatebus.h"
#include "tests/support/recordingmodal.h"
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

  // Descriptors of the card open in this process.
  int CardDescriptors() const {
    int open = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (fs::read_symlink(entry.path(), error) == fs::canonical(card_)) ++open;
    }
    return open;
  }

  // Runs the event loop until done() or a few seconds have passed.
  static bool PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
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
    // Qt lets go of the answer's own copy at its next turn of the event loop.
    EXPECT_TRUE(PumpUntil([this] { return CardDescriptors() == 0; }))
        << "the opener keeps nothing of the device";
    // The display is told when the wait is over, to put back what it showed.
    EXPECT_EQ(statuses_,
              QStringList({"Asking for access to " + QString::fromStdString(card_), QString()}));
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

// Refusals that need advice, not udisks2's words.
TEST_F(UdisksOpenerTest, NoAgentAndADismissedPromptSayWhatToDo) {
  StartUdisks({"--refuse=no-agent"});
  std::string why;
  EXPECT_EQ(Opener()->Open(card_.string(), why), -1);
  EXPECT_EQ(why,
            "No password prompt could be shown (no polkit authentication agent is running). Run "
            "Fernhollow from a desktop session, join the disk group, or run it as root.");
  udisks_.Stop();

  StartUdisks({"--refuse=dismissed"});
  EXPECT_EQ(Opener()->Open(card_.string(), why), -1);
  EXPECT_EQ(why,
            "Access refused: the password prompt was dismissed. Pick the drive again to be asked "
            "again.");
}

TEST_F(UdisksOpenerTest, WithoutUdisksOrWithoutABusUdisksIsNotRunning) {
  std::string why;
  EXPECT_EQ(Opener()->Open(card_.string(), why), -1);
  EXPECT_TRUE(why.starts_with("udisks2 is not running: ")) << why;
  EXPECT_NE(why.find("sudo adduser $USER disk"), std::string::npos) << why;

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

// While polkit's prompt waits for a person: the waiting box, Cancel, the limit,
// and what becomes of an answer that comes after the window stopped waiting.
class UdisksWaitTest : public UdisksOpenerTest {
 protected:
  // Opens the card, timing it.
  int OpenCard(TUdisksOpener& opener, std::string& why) {
    QElapsedTimer clock;
    clock.start();
    const int fd = opener.Open(card_.string(), why);
    took_ = clock.elapsed();
    return fd;
  }

  TRecordingModal hook_;
  qint64 took_ = 0;
};

// The text of the waiting box.
QString BoxText(QDialog& box) {
  const auto* label = box.findChild<QLabel*>(QStringLiteral("LabelWaiting"));
  return label != nullptr ? label->text() : QString();
}

TEST_F(UdisksWaitTest, AnAnswerWithinAMomentShowsNoBox) {
  for (const char* after : {"--answer-after=0", "--answer-after=50"}) {
    SCOPED_TRACE(after);
    StartUdisks({"--grant", after});
    std::string why;
    const int fd = OpenCard(*Opener(), why);
    ASSERT_GE(fd, 0) << why;
    ::close(fd);
    udisks_.Stop();
  }
  EXPECT_EQ(hook_.dialogs, 0);
}

TEST_F(UdisksWaitTest, ASlowAnswerShowsTheBoxWhichClosesByItself) {
  StartUdisks({"--grant", "--answer-after=800"});
  QString shown;
  int result = -1;
  hook_.onDialog = [&](QDialog& box) {
    shown = BoxText(box);
    result = box.exec();  // until the answer closes it
    return result;
  };
  auto opener = Opener();
  std::string why;
  const int fd = OpenCard(*opener, why);
  ASSERT_GE(fd, 0) << why;
  std::vector<std::uint8_t> bytes(kCardBytes);
  EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(kCardBytes));
  ::close(fd);
  EXPECT_EQ(hook_.dialogs, 1);
  EXPECT_EQ(shown, "Waiting for permission to read " + QString::fromStdString(card_) +
                       ". Enter your password in the dialog that opened.");
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_GE(took_, 700);
  EXPECT_FALSE(opener->Asking(card_.string()));
  EXPECT_EQ(statuses_.value(0), "Asking for access to " + QString::fromStdString(card_));
  EXPECT_EQ(statuses_.value(1), QString());
}

// Cancel in the box returns at once; what was clicked and typed in the window
// meanwhile is dropped, not replayed; the grant that comes later is closed.
TEST_F(UdisksWaitTest, CancelReturnsAtOnceAndTheLateDescriptorIsClosed) {
  StartUdisks({"--grant", "--answer-after=1500"});
  QPushButton elsewhere(QStringLiteral("Start"));
  elsewhere.show();
  int clicks = 0;
  QObject::connect(&elsewhere, &QPushButton::clicked, [&clicks] { ++clicks; });
  QTimer::singleShot(50, &elsewhere, [&elsewhere] {
    QTest::mouseClick(&elsewhere, Qt::LeftButton);
    QTest::keyClick(&elsewhere, Qt::Key_Space);
  });
  hook_.onDialog = [](QDialog& box) {
    // The user's own click on Cancel gets through.
    QTimer::singleShot(0, &box, [&box] {
      QTest::mouseClick(box.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel),
                        Qt::LeftButton);
    });
    return box.exec();
  };
  auto opener = Opener();
  std::string why;
  EXPECT_EQ(OpenCard(*opener, why), -1);
  EXPECT_EQ(why,
            "Access refused: cancelled while waiting for the password. Pick the drive again to be "
            "asked again.");
  EXPECT_LT(took_, 1200) << "Cancel waited for the answer";
  EXPECT_EQ(hook_.dialogs, 1);
  EXPECT_TRUE(opener->Asking(card_.string()));

  ASSERT_TRUE(PumpUntil([&] { return !opener->Asking(card_.string()); }));
  EXPECT_TRUE(PumpUntil([this] { return CardDescriptors() == 0; }))
      << "the grant nobody waited for stayed open";
  EXPECT_EQ(clicks, 0) << "input during the wait acted on the window";
  EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(card_)});
}

// Picking the drive again joins the request polkit still asks about, rather
// than queueing a second prompt behind the first.
TEST_F(UdisksWaitTest, PickingAgainWhileAskingJoinsTheRequest) {
  StartUdisks({"--grant", "--answer-after=1500"});
  auto opener = Opener();
  std::string why;
  EXPECT_EQ(OpenCard(*opener, why), -1);  // the hook cancels
  EXPECT_EQ(why.rfind(TUdisksOpener::kCancelled.toStdString(), 0), 0u) << why;

  hook_.onDialog = [](QDialog& box) { return box.exec(); };
  const int fd = OpenCard(*opener, why);
  ASSERT_GE(fd, 0) << why;
  ::close(fd);
  EXPECT_EQ(hook_.dialogs, 2);
  EXPECT_EQ(Asked(), std::vector<std::string>{ReadOnlyAsk(card_)});

  // Once answered, the next pick asks anew.
  const int again = OpenCard(*opener, why);
  ASSERT_GE(again, 0) << why;
  ::close(again);
  EXPECT_EQ(Asked().size(), 2u);
}

TEST_F(UdisksWaitTest, AnUnansweredPromptIsGivenUpAtTheLimit) {
  StartUdisks({"--grant", "--never"});
  auto opener = Opener();
  opener->SetPromptTimeout(700);
  int result = -1;
  hook_.onDialog = [&result](QDialog& box) {
    result = box.exec();
    return result;
  };
  std::string why;
  EXPECT_EQ(OpenCard(*opener, why), -1);
  EXPECT_EQ(why.rfind(TUdisksOpener::kRefused.toStdString(), 0), 0u) << why;
  EXPECT_NE(why.find("Pick the drive again"), std::string::npos) << why;
  EXPECT_EQ(result, QDialog::Rejected) << "the box did not close at the limit";
  EXPECT_GE(took_, 650);
  EXPECT_LT(took_, 4000);
  EXPECT_TRUE(opener->Asking(card_.string()));

  // The limit holds without a box too (a remembered-grant delay longer than it).
  opener->SetBoxDelay(10000);
  EXPECT_EQ(OpenCard(*opener, why), -1);
  EXPECT_LT(took_, 4000);
  EXPECT_EQ(hook_.dialogs, 1);
  EXPECT_EQ(Asked().size(), 1u);
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
