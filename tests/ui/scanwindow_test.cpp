// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "tests/support/fakeplatform.h"
#include "tests/support/mountedimage.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/tempdir.h"
#include "ui/animate.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/modal.h"
#include "ui/scanhost.h"
#include "ui/spinedit.h"

namespace fs = std::filesystem;

namespace {

class ScanWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeVolume& card = platform.AddVolume('E', 3000);
    for (std::uint32_t s : {0u, 700u, 2100u}) {
      card.data[s * 512] = 0xFF;
      card.data[s * 512 + 1] = 0xD8;
      card.data[s * 512 + 2] = 0xFF;
      card.data[s * 512 + 3] = 0xE0;
    }
    InitDiskAccess(platform);
    form = std::make_unique<TForm1>(platform);
    form->ListBoxDrives->setCurrentRow(0);
    form->ListBoxDrivesClick();
    form->EditDestPath->setText(QString::fromStdString(dir.string()));
  }
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
  }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  FakePlatform platform;
  TRecordingModal modal;
  std::unique_ptr<TForm1> form;
};

TEST_F(ScanWindowTest, StartScansAndRestoresTheControls) {
  bool checkedDuringScan = false;
  QTimer::singleShot(0, form.get(), [&] {
    checkedDuringScan = true;
    EXPECT_FALSE(form->ButtonStart->isEnabled());
    EXPECT_FALSE(form->ListBoxDrives->isEnabled());
    EXPECT_TRUE(form->ButtonCancel->isEnabled());
    EXPECT_EQ(form->LabelStatus->text(), "busy");
    EXPECT_EQ(form->LabelReadErrors->text(), "0");
    EXPECT_TRUE(form->Animate1->Active());
    EXPECT_FALSE(form->Animate1->isHidden());
    EXPECT_EQ(form->SB->currentMessage(), "Searching for images...");
  });
  form->ButtonStart->click();
  EXPECT_TRUE(checkedDuringScan);
  ASSERT_EQ(form->lstResults->count(), 3);
  EXPECT_EQ(form->lstResults->item(0)->text(), "/recovered1.JPG");
  EXPECT_TRUE(fs::exists(dir / "recovered3.JPG.rdf"));
  EXPECT_TRUE(form->cmdRecAll->isEnabled());
  EXPECT_FALSE(form->cmdRecSel->isEnabled());
  EXPECT_EQ(form->LabelImagesFound->text(), "3");
  EXPECT_EQ(form->LabelStatus->text(), "ready");
  EXPECT_TRUE(form->ButtonStart->isEnabled());
  EXPECT_TRUE(form->ListBoxDrives->isEnabled());
  EXPECT_FALSE(form->ButtonCancel->isEnabled());
  EXPECT_EQ(form->ProgressBar->value(), 0);
  EXPECT_TRUE(form->LabelCurrentSector->text().isEmpty());
  EXPECT_TRUE(form->Animate1->isHidden());
  EXPECT_FALSE(form->Animate1->Active());
  EXPECT_EQ(form->Animate1->CurrentFrame(), 0);
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
}

TEST_F(ScanWindowTest, CancelInTheFirstPumpReadsNothing) {
  QTimer::singleShot(0, form.get(), [&] {
    form->ButtonCancel->click();
    EXPECT_EQ(form->SB->currentMessage(), "Stopping...");
  });
  form->ButtonStart->click();
  // The cancel came in the first pump, before any chunk: nothing was read.
  EXPECT_EQ(form->lstResults->count(), 0);
  EXPECT_TRUE(platform.reads.empty());
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
}

TEST_F(ScanWindowTest, CloseDuringAScanWaitsForItsEndThenAsks) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  bool stillOpen = false;
  QTimer::singleShot(0, form.get(), [&] {
    form->close();
    stillOpen = form->isVisible() && form->Scanning() && modal.messages.empty();
  });
  modal.answers = {kJa};
  form->ButtonStart->click();
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(form->lstResults->count(), 3);  // the scan ran to its end
  QTest::qWait(20);
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_TRUE(modal.messages[0].text.startsWith("3 found files have not been recovered yet."));
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(fs::exists(dir / "recovered1.JPG.rdf"));
}

TEST_F(ScanWindowTest, FocusGoesToCancelAndBackToStart) {
  form->show();
  QApplication::setActiveWindow(form.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->PageControl->setCurrentWidget(form->TabSheet3);
  form->ButtonStart->setFocus();
  QWidget* focusDuringScan = nullptr;
  QTimer::singleShot(0, form.get(), [&] { focusDuringScan = QApplication::focusWidget(); });
  QTest::keyClick(form->ButtonStart, Qt::Key_Space);
  EXPECT_EQ(focusDuringScan, form->ButtonCancel);
  EXPECT_EQ(QApplication::focusWidget(), form->ButtonStart);

  // Taken elsewhere during the scan, the focus stays there.
  modal.answers = {kJa};  // the first search's files may go
  QTimer::singleShot(0, form.get(), [&] {
    form->PageControl->setCurrentWidget(form->TabSheet4);
    form->lstResults->setFocus();
  });
  form->ButtonStart->click();
  EXPECT_EQ(QApplication::focusWidget(), form->lstResults);
}

TEST_F(ScanWindowTest, EmptyDestinationStartsNothing) {
  form->EditDestPath->clear();
  form->ButtonStart->click();
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_EQ(modal.messages[0].title, "Warnung");
  EXPECT_EQ(modal.messages[0].icon, TMsgIcon::Warning);
  EXPECT_TRUE(form->ButtonStart->isEnabled());
  EXPECT_EQ(form->SB->currentMessage(), "Ready");  // from the drive selection
  EXPECT_TRUE(platform.reads.empty());
}

TEST_F(ScanWindowTest, BoxesOfTheScanAreTheTypedOnes) {
  TWindowScanHost host(*form);
  modal.answers = {1, 0};
  EXPECT_FALSE(host.ConfirmOverwrite("File x already exists. Do you want to overwrite it?"));
  EXPECT_TRUE(host.ConfirmOverwrite("again"));
  host.Warn("Could not create destination file: x!");
  ASSERT_EQ(modal.messages.size(), 3u);
  EXPECT_EQ(modal.messages[0].title, "Bestätigung");
  EXPECT_EQ(modal.messages[0].buttons, QStringList({"&Ja", "&Nein"}));
  EXPECT_EQ(modal.messages[0].icon, TMsgIcon::Question);
  EXPECT_EQ(modal.messages[2].title, "Warnung");
  EXPECT_EQ(modal.messages[2].buttons, QStringList{"OK"});
  EXPECT_EQ(modal.messages[2].text, "Could not create destination file: x!");
}

TEST_F(ScanWindowTest, RepaintsAreThrottledButTheLastSectorIsShown) {
  // A host that counts what reaches the window: the labels show sector 0 at
  // once and the last sector at the end, and few repaints lie between.
  TWindowScanHost host(*form);
  const auto start = std::chrono::steady_clock::now();
  host.SectorReached(0, 200000);
  EXPECT_EQ(form->LabelCurrentSector->text(), "0");
  for (std::uint32_t s = 1; s < 199999; ++s) host.SectorReached(s, 200000);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(host.Repaints(), 2 + elapsed / TWindowScanHost::kPumpInterval);
  host.SectorReached(199999, 200000);
  EXPECT_EQ(form->LabelCurrentSector->text(), "199999");
  EXPECT_EQ(form->ProgressBar->value(), 100);
}

TEST_F(ScanWindowTest, DisplayKeepsMovingWhileReadsFail) {
  // A damaged stretch: every read there takes 2 ms to fail.
  FakeVolume& card = platform.Volume('E');
  for (std::uint32_t s = 100; s < 400; ++s) card.unreadable.insert(s);
  platform.failedReadTime = std::chrono::milliseconds(2);
  std::set<QString> shown;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!form->ButtonCancel->isEnabled()) return;
    shown.insert(form->LabelCurrentSector->text());
  });
  watch.start(5);
  form->ButtonStart->click();
  // 300 bad sectors x 3 failed reads x 2 ms: about 1.8 s, painted every ~15 ms.
  EXPECT_GE(shown.size(), 30u);
  EXPECT_EQ(form->LabelReadErrors->text(), "900");
}

TEST_F(ScanWindowTest, VolumesBeyondTwoTebibytesSaySoBeforeAScan) {
  const QString text = "Only the first 2 TiB of this drive can be searched.";
  EXPECT_FALSE(form->ListBoxDrives->item(0)->toolTip().contains(text));
  FakeVolume& big = platform.AddVolume('F', 100);
  big.describedBytes = (std::uint64_t{1} << 32) * 512;  // 2^32 sectors
  big.geometry.Cylinders = 0xFFFFFFFF;                  // as the unit clamps it
  form->cmdRefreshClick();
  ASSERT_EQ(form->ListBoxDrives->count(), 2);
  EXPECT_TRUE(form->ListBoxDrives->item(1)->toolTip().endsWith(text));
  form->ListBoxDrives->setCurrentRow(1);
  form->ListBoxDrivesClick();
  modal.messages.clear();
  platform.deviceGone = true;  // the scan ends at its first read; only the box counts
  form->ButtonStart->click();
  ASSERT_FALSE(modal.messages.empty());
  EXPECT_EQ(modal.messages[0].title, "Warnung");
  EXPECT_EQ(modal.messages[0].text, text);
  EXPECT_EQ(std::count_if(modal.messages.begin(), modal.messages.end(),
                          [&](const TMessageRequest& m) { return m.text == text; }),
            1);

  // 2^32 sectors of 4096 bytes reach 16 TiB.
  FakeVolume& large = platform.AddVolume('G', 100, DRIVE_REMOVABLE, 4096);
  large.describedBytes = ((std::uint64_t{1} << 32) + 1) * 4096;
  form->cmdRefreshClick();
  ASSERT_EQ(form->ListBoxDrives->count(), 3);
  EXPECT_TRUE(form->ListBoxDrives->item(2)->toolTip().endsWith(
      "Only the first 16 TiB of this drive can be searched."));
  form->ListBoxDrives->setCurrentRow(2);
  form->ListBoxDrivesClick();
  modal.messages.clear();
  form->ButtonStart->click();
  ASSERT_FALSE(modal.messages.empty());
  EXPECT_EQ(modal.messages[0].text, "Only the first 16 TiB of this drive can be searched.");
}

TEST_F(ScanWindowTest, NothingIsWrittenToTheDriveBeingSearched) {
  // The drive is an image holding a file system, mounted; the destination
  // lies inside that mount.
  TMountedImage medium(dir);
  if (::geteuid() != 0 || !medium.Mounted())
    GTEST_SKIP() << "needs root, mkfs.ext4 and loop mounts";
  const fs::path image = medium.Image();
  const fs::path mount = medium.MountPoint();
  platform.Volume('E').path = image.string();
  form->EditDestPath->setText(QString::fromStdString((mount / "out").string()));
  fs::create_directories(mount / "out");
  const QString refusal =
      "The destination folder is on the drive being searched. Writing there would overwrite the "
      "files you want to recover. Please choose a folder on another drive.";

  form->ButtonStart->click();
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_EQ(modal.messages[0].text, refusal);
  EXPECT_TRUE(platform.reads.empty());  // no scan
  EXPECT_TRUE(form->ButtonStart->isEnabled());

  // A folder elsewhere is fine.
  form->EditDestPath->setText(QString::fromStdString(dir.string()));
  modal.messages.clear();
  form->ButtonStart->click();
  EXPECT_TRUE(modal.messages.empty());
  EXPECT_FALSE(platform.reads.empty());
  ASSERT_GT(form->lstResults->count(), 0);

  // Recover and preview of what it found write nothing to the drive either.
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".rdf") {
      fs::copy_file(entry.path(), mount / "out" / entry.path().filename());
    }
  }
  form->EditDestPath->setText(QString::fromStdString((mount / "out").string()));
  form->lstResults->setCurrentRow(0);
  form->cmdRecAllClick();
  form->cmdRecSelClick();
  form->lstResultsClick();
  EXPECT_EQ(modal.messages.size(), 3u);
  EXPECT_FALSE(fs::exists(mount / "out" / "recovered1.JPG"));
}

TEST_F(ScanWindowTest, DisplayKeepsMovingWhileAFailedRunIsReadAgainSectorBySector) {
  // One run of the whole card whose last sector is bad: the other 2999 are
  // read again one at a time, and those reads succeed, 250 us each.
  platform.Volume('E').unreadable.insert(2999);
  platform.onRead = [] { std::this_thread::sleep_for(std::chrono::microseconds(250)); };
  form->SpinEditSecAtOnce->SetValue(3000);
  std::set<QString> shown;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (form->ButtonCancel->isEnabled()) shown.insert(form->LabelCurrentSector->text());
  });
  watch.start(5);
  form->ButtonStart->click();
  // About 0.75 s of reads that succeed, painted every ~15 ms.
  EXPECT_GE(shown.size(), 15u);
  EXPECT_EQ(form->LabelReadErrors->text(), "3");
}

TEST_F(ScanWindowTest, RecoverJudgesTheDriveSearchedNotTheDrivePickedSince) {
  TMountedImage medium(dir);
  if (::geteuid() != 0 || !medium.Mounted())
    GTEST_SKIP() << "needs root, mkfs.ext4 and loop mounts";
  const fs::path mount = medium.MountPoint();
  const fs::path onMedium = mount / "out";
  fs::create_directories(onMedium);
  const fs::path elsewhere = dir / "out";
  fs::create_directories(elsewhere);
  FakeVolume& other = platform.AddVolume('F', 100);
  other.path = (dir / "other.img").string();
  form->cmdRefreshClick();
  const auto pick = [&](int row) {
    form->ListBoxDrives->setCurrentRow(row);
    form->ListBoxDrivesClick();
  };
  const auto recoverAllInto = [&](const fs::path& folder) {
    form->EditDestPath->setText(QString::fromStdString(folder.string()));
    modal.messages.clear();
    form->cmdRecAllClick();
  };

  // Searched: E, a plain card. Picked since: F, the disk that holds the
  // destination. Recovering there writes nothing to the card searched.
  form->EditDestPath->setText(QString::fromStdString(elsewhere.string()));
  form->ButtonStart->click();
  ASSERT_EQ(form->lstResults->count(), 3);
  platform.Volume('F').path = medium.Image().string();
  pick(1);
  for (const auto& entry : fs::directory_iterator(elsewhere)) {
    fs::copy_file(entry.path(), onMedium / entry.path().filename());
  }
  recoverAllInto(onMedium);
  EXPECT_TRUE(modal.messages.empty());
  EXPECT_TRUE(fs::exists(onMedium / "recovered1.JPG"));

  // The other way round: E is the disk searched, F is picked since, and the
  // destination on E is still refused.
  form->lstResults->clear();
  platform.Volume('F').path = (dir / "other.img").string();
  platform.Volume('E').path = medium.Image().string();
  pick(0);
  form->EditDestPath->setText(QString::fromStdString(elsewhere.string()));
  fs::remove_all(elsewhere);
  fs::create_directories(elsewhere);
  form->ButtonStart->click();
  ASSERT_EQ(form->lstResults->count(), 3);
  pick(1);
  fs::remove(onMedium / "recovered1.JPG");
  recoverAllInto(onMedium);
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_TRUE(
      modal.messages[0].text.startsWith("The destination folder is on the drive being searched."));
  EXPECT_FALSE(fs::exists(onMedium / "recovered1.JPG"));
}

}  // namespace
