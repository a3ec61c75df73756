// SPDX-License-Identifier: GPL-3.0-or-later
// Start: the destination is checked before the drive is read, and found files
// never recovered are not dropped unasked; their stored copies go from where
// they were written, and nothing else goes with them.
#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <set>
#include <string>

#include "tests/support/fakeplatform.h"
#include "tests/support/mountedimage.h"
#include "tests/support/norights.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/tempdir.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/modal.h"

namespace fs = std::filesystem;

// Readable failures for texts of the window.
static void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

class StartCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeVolume& card = platform.AddVolume('E', 3000);
    for (std::uint32_t s : {0u, 700u, 2100u}) {
      const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE0};
      std::copy(std::begin(header), std::end(header), card.data.begin() + s * 512);
    }
    InitDiskAccess(platform);
    form = std::make_unique<TForm1>(platform);
    form->ListBoxDrives->setCurrentRow(0);
    form->ListBoxDrivesClick();
    SetDestination(dir);
  }
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
  }

  void SetDestination(const fs::path& folder) {
    form->EditDestPath->setText(QString::fromStdString(folder.string()));
  }
  void Start() {
    modal.messages.clear();
    form->ButtonStart->click();
  }
  void Recover(int row) {
    form->lstResults->setCurrentRow(row);
    form->cmdRecSelClick();
  }
  static std::set<std::string> Files(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
  }
  // The one box shown since the last Start.
  const TMessageRequest& OnlyBox() {
    EXPECT_EQ(modal.messages.size(), 1u);
    static const TMessageRequest none;
    return modal.messages.empty() ? none : modal.messages.front();
  }
  // Nothing was read and the window is as it was before Start.
  void ExpectNoSearch(std::size_t readsBefore = 0) {
    EXPECT_EQ(platform.reads.size(), readsBefore);
    EXPECT_TRUE(form->ButtonStart->isEnabled());
    EXPECT_FALSE(form->Scanning());
    EXPECT_EQ(form->LabelStatus->text(), "ready");
  }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  FakePlatform platform;
  TRecordingModal modal;
  std::unique_ptr<TForm1> form;
};

const std::set<std::string> kFirstSearch{"recovered1.JPG.rdf", "recovered2.JPG.rdf",
                                         "recovered3.JPG.rdf"};

TEST_F(StartCheckTest, MissingFolderIsMadeOnlyWhenTheUserSaysSo) {
  const fs::path folder = dir / "cards" / "2024" / "holiday";
  const QString text = QString::fromStdString(folder.string() + "/");
  form->EditDestPath->setText(text);

  modal.answers = {kNein};
  Start();
  const TMessageRequest& question = OnlyBox();
  EXPECT_EQ(question.title, "Bestätigung");
  EXPECT_EQ(question.icon, TMsgIcon::Question);
  EXPECT_EQ(question.buttons, QStringList({"&Ja", "&Nein"}));
  EXPECT_EQ(question.defaultButton, kJa);
  EXPECT_EQ(question.escapeButton, kNein);
  EXPECT_EQ(question.text, "The destination folder " + text + " does not exist. Create it?");
  ExpectNoSearch();
  EXPECT_FALSE(fs::exists(dir / "cards"));

  // "&Ja" (the default): made with its parents, and searched into.
  Start();
  EXPECT_EQ(modal.messages.size(), 1u);
  EXPECT_FALSE(platform.reads.empty());
  EXPECT_EQ(form->lstResults->count(), 3);
  EXPECT_EQ(form->LabelImagesFound->text(), "3");
  // The stored files alone: the test of the folder left nothing behind.
  EXPECT_EQ(Files(folder), kFirstSearch);
}

TEST_F(StartCheckTest, FolderThatCannotBeWrittenStopsStartWithTheReason) {
  std::ofstream(dir / "notes.txt") << "mine";
  // A file where the folder should be, and a path that runs through a file:
  // refused as they are, root or not, nothing asked and nothing made.
  for (const fs::path& folder : {dir / "notes.txt", dir / "notes.txt" / "out"}) {
    SCOPED_TRACE(folder.string());
    SetDestination(folder);
    Start();
    EXPECT_EQ(OnlyBox().title, "Warnung");
    EXPECT_EQ(OnlyBox().icon, TMsgIcon::Warning);
    EXPECT_EQ(OnlyBox().text, "Cannot write to the destination folder " +
                                  QString::fromStdString(folder.string()) + ": Not a directory.");
    ExpectNoSearch();
  }
  EXPECT_EQ(Files(dir), std::set<std::string>{"notes.txt"});
}

TEST_F(StartCheckTest, FolderWithoutRightsIsNeitherWrittenNorMadeInto) {
  const fs::path locked = dir / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  struct Unlock {
    fs::path folder;
    ~Unlock() { fs::permissions(folder, fs::perms::owner_all); }
  } unlock{locked};
  // As root too: the rights that pass over file modes are dropped meanwhile.
  TWithoutFileRights userRights;
  if (!TWithoutFileRights::Denied(dir / "scratch")) GTEST_SKIP() << "cannot drop file rights";

  SetDestination(locked);
  Start();
  EXPECT_EQ(OnlyBox().title, "Warnung");
  EXPECT_EQ(OnlyBox().text, "Cannot write to the destination folder " +
                                QString::fromStdString(locked.string()) + ": Permission denied.");
  ExpectNoSearch();

  // Below it, the folder is offered, then cannot be made.
  SetDestination(locked / "new");
  modal.answers = {kJa};
  Start();
  ASSERT_EQ(modal.messages.size(), 2u);
  EXPECT_EQ(modal.messages[0].title, "Bestätigung");
  EXPECT_EQ(modal.messages[1].title, "Warnung");
  EXPECT_EQ(modal.messages[1].text, "Could not create the destination folder " +
                                        QString::fromStdString((locked / "new").string()) +
                                        ": Permission denied.");
  ExpectNoSearch();
  EXPECT_TRUE(Files(locked).empty());
}

TEST_F(StartCheckTest, ReadOnlyFileSystemIsFoundBeforeTheDriveIsRead) {
  const fs::path mount = dir / "ro";
  fs::create_directory(mount);
  const bool mounted =
      ::geteuid() == 0 &&
      std::system(
          ("mount -t tmpfs -o ro,size=1M fh-test " + mount.string() + " 2>/dev/null").c_str()) == 0;
  if (!mounted) GTEST_SKIP() << "needs root and tmpfs mounts";
  struct Unmount {
    fs::path point;
    ~Unmount() { static_cast<void>(std::system(("umount " + point.string()).c_str())); }
  } unmount{mount};

  // Root may write anywhere but here, which access() cannot tell by mode bits.
  SetDestination(mount);
  Start();
  EXPECT_EQ(OnlyBox().text, "Cannot write to the destination folder " +
                                QString::fromStdString(mount.string()) +
                                ": Read-only file system.");
  ExpectNoSearch();
}

TEST_F(StartCheckTest, MissingFolderOnTheDriveBeingSearchedIsNotMadeThere) {
  TMountedImage medium(dir);
  if (::geteuid() != 0 || !medium.Mounted())
    GTEST_SKIP() << "needs root, mkfs.ext4 and loop mounts";
  platform.Volume('E').path = medium.Image().string();
  SetDestination(medium.MountPoint() / "out");
  Start();
  EXPECT_TRUE(OnlyBox().text.startsWith("The destination folder is on the drive being searched."));
  ExpectNoSearch();
  EXPECT_FALSE(fs::exists(medium.MountPoint() / "out"));
}

TEST_F(StartCheckTest, SecondStartAsksBeforeFilesNeverRecoveredGo) {
  Start();
  ASSERT_EQ(form->lstResults->count(), 3);
  Recover(0);
  // Files the program did not store, one of them looking like its own.
  std::ofstream(dir / "notes.txt") << "mine";
  std::ofstream(dir / "recovered9.JPG.rdf") << "not stored by this run";
  const std::set<std::string> before = Files(dir);
  const std::size_t reads = platform.reads.size();

  modal.answers = {kNein};
  Start();
  const TMessageRequest& question = OnlyBox();
  EXPECT_EQ(question.title, "Bestätigung");
  EXPECT_EQ(question.buttons, QStringList({"&Ja", "&Nein"}));
  EXPECT_EQ(question.defaultButton, kNein);
  EXPECT_EQ(question.escapeButton, kNein);
  EXPECT_EQ(question.text,
            "2 found files have not been recovered yet. Their stored copies are deleted when a "
            "new search starts. Start anyway?");
  ExpectNoSearch(reads);
  EXPECT_EQ(form->lstResults->count(), 3);
  EXPECT_EQ(Files(dir), before);

  // "&Ja", then "&Nein" to making the new destination: still nothing goes.
  const fs::path second = dir / "second";
  SetDestination(second);
  modal.answers = {kJa, kNein};
  Start();
  EXPECT_EQ(modal.messages.size(), 2u);
  ExpectNoSearch(reads);
  EXPECT_EQ(form->lstResults->count(), 3);
  EXPECT_EQ(Files(dir), before);

  // "&Ja" to both: exactly the first search's stored files go, from the
  // folder they were stored in, though the destination points elsewhere now.
  modal.answers = {kJa, kJa};
  Start();
  EXPECT_EQ(modal.messages.size(), 2u);
  EXPECT_GT(platform.reads.size(), reads);
  EXPECT_EQ(Files(dir),
            (std::set<std::string>{"notes.txt", "recovered1.JPG", "recovered9.JPG.rdf", "second"}));
  EXPECT_EQ(Files(second), kFirstSearch);
  ASSERT_EQ(form->lstResults->count(), 3);

  // One left unrecovered: asked in the singular.
  Recover(0);
  Recover(2);
  modal.answers = {kNein};
  Start();
  EXPECT_EQ(OnlyBox().text,
            "1 found file has not been recovered yet. Its stored copy is deleted when a new "
            "search starts. Start anyway?");
}

TEST_F(StartCheckTest, EverythingRecoveredStartsUnaskedAndLeavesNoStoredFileBehind) {
  Start();
  ASSERT_EQ(form->lstResults->count(), 3);
  form->cmdRecAllClick();
  const fs::path second = dir / "second";
  fs::create_directory(second);
  SetDestination(second);
  Start();
  EXPECT_TRUE(modal.messages.empty());
  EXPECT_EQ(Files(dir), (std::set<std::string>{"recovered1.JPG", "recovered2.JPG", "recovered3.JPG",
                                               "second"}));
  EXPECT_EQ(Files(second), kFirstSearch);
}

TEST_F(StartCheckTest, CloseDeletesTheStoredFilesWhereTheyWereWrittenAndNothingElse) {
  const fs::path first = dir / "first";
  const fs::path other = dir / "other";
  fs::create_directory(first);
  fs::create_directory(other);
  SetDestination(first);
  Start();
  ASSERT_EQ(form->lstResults->count(), 3);
  // The destination points elsewhere now, at files of the same names.
  for (const std::string& name : kFirstSearch) std::ofstream(other / name) << "someone else's";
  SetDestination(other);
  // A stored file replaced since (another program, another instance storing
  // under the same name) is no longer this run's.
  fs::remove(first / "recovered2.JPG.rdf");
  std::ofstream(first / "recovered2.JPG.rdf") << "put here since";

  modal.answers = {kJa};
  EXPECT_TRUE(form->close());
  EXPECT_EQ(Files(first), std::set<std::string>{"recovered2.JPG.rdf"});
  EXPECT_EQ(Files(other), kFirstSearch);
}

TEST_F(StartCheckTest, ImagesFoundCountsOnlyFilesThatWereMade) {
  // The folder passes the check, then goes before the first file is made.
  const fs::path folder = dir / "vanishing";
  fs::create_directory(folder);
  SetDestination(folder);
  QTimer::singleShot(0, form.get(), [&] { fs::remove(folder); });
  Start();
  ASSERT_FALSE(modal.messages.empty());
  EXPECT_EQ(modal.messages[0].text,
            "Could not create destination file: " + QString::fromStdString(folder.string()) +
                "/recovered1.JPG!");
  EXPECT_EQ(form->lstResults->count(), 0);
  EXPECT_EQ(form->LabelImagesFound->text(), "0");
}

}  // namespace
