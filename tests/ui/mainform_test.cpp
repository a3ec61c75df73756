// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/mainform.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>

#include <unistd.h>
#include <QDir>
#include <QFile>

#include <filesystem>
#include <memory>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/tempdir.h"
#include "ui/animate.h"
#include "ui/drivepanel.h"
#include "ui/errorreport.h"
#include "ui/listbox.h"
#include "ui/spinedit.h"
#include "ui/startup.h"
#include "ui/statusbar.h"

namespace {

const QString kFixedDriveWarning =
    "Fernhollow was developed for use on digital photo media. However, it can be used on fixed "
    "drives. The scan used is very thorough and may take some time on large hard drives.!!";

class MainFormTest : public ::testing::Test {
 protected:
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
  }

  TForm1& Form() {
    if (!form) {
      InitDiskAccess(platform);
      form = std::make_unique<TForm1>(platform);
    }
    return *form;
  }

  QStringList DriveItems() {
    QStringList items;
    for (int i = 0; i < Form().ListBoxDrives->count(); ++i) {
      items << Form().ListBoxDrives->item(i)->text();
    }
    return items;
  }

  void Select(const QString& name) {
    const auto found = Form().ListBoxDrives->findItems(name, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    Form().ListBoxDrives->setCurrentItem(found[0]);
    Form().ListBoxDrivesClick();
  }

  // Position of a control relative to its tab's frame.
  static QRect InFrame(const QWidget* control) { return control->geometry(); }

  FakePlatform platform;
  TRecordingModal modal;
  std::unique_ptr<TForm1> form;
};

TEST_F(MainFormTest, WindowAndTabsAtStartUp) {
  TForm1& f = Form();
  EXPECT_EQ(f.windowTitle(), "Fernhollow (tm)");
  EXPECT_EQ(f.size(), QSize(445, 330 + kTypeRow));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(f.windowIcon().isNull());
  EXPECT_EQ(f.PageControl->geometry(), QRect(8, 4, 432, 309 + kTypeRow));
  EXPECT_EQ(f.SB->geometry(), QRect(0, 313 + kTypeRow, 445, 17));
  EXPECT_TRUE(f.SB->currentMessage().isEmpty());

  const QStringList captions{"Drive", "Options", "Search", "Restore", "Help"};
  ASSERT_EQ(f.PageControl->count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(f.PageControl->tabText(i), captions[i]);
    EXPECT_FALSE(f.PageControl->tabIcon(i).isNull()) << i;
    auto* frame = f.PageControl->widget(i)->findChild<QGroupBox*>();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->geometry(), QRect(8, 16, 409, 257 + kTypeRow));
    EXPECT_TRUE(frame->title().isEmpty());
  }
  EXPECT_EQ(f.PageControl->currentIndex(), 0);
}

TEST_F(MainFormTest, ControlsStartAsLaidOut) {
  TForm1& f = Form();
  EXPECT_EQ(InFrame(f.ListBoxDrives), QRect(16, 68, 105, 149));
  EXPECT_EQ(InFrame(f.cmdRefresh), QRect(16, 224, 105, 25));
  for (QLabel* label : {f.LabelMedia, f.LabelBytesPerSec, f.LabelCapacity, f.LabelStatus}) {
    EXPECT_EQ(label->text(), "N/A");
    EXPECT_EQ(label->width(), 69);
  }
  EXPECT_EQ(f.LabelStatus->pos(), QPoint(324, 228));

  EXPECT_TRUE(f.Animate1->isHidden());
  EXPECT_FALSE(f.Animate1->Active());
  EXPECT_EQ(f.Animate1->FrameCount(), 17);
  EXPECT_EQ(InFrame(f.Animate1), QRect(16, 16, 146, 34));
  EXPECT_EQ(InFrame(f.ProgressBar), QRect(16, 92, 377, 18));
  EXPECT_EQ(f.ProgressBar->value(), 0);
  EXPECT_EQ(f.ProgressBar->maximum(), 100);
  EXPECT_EQ(f.ButtonStart->text(), "&Start");
  EXPECT_EQ(f.ButtonCancel->text(), "&Cancel");
  EXPECT_FALSE(f.ButtonStart->isEnabled());
  EXPECT_FALSE(f.ButtonCancel->isEnabled());
  for (QLabel* label : {f.LabelImagesFound, f.LabelReadErrors, f.LabelCurrentSector}) {
    EXPECT_TRUE(label->text().isEmpty());
  }

  EXPECT_EQ(InFrame(f.lstResults), QRect(16, 16, 129, 201));
  EXPECT_EQ(InFrame(f.imgPreview), QRect(176, 40, 193, 129));
  EXPECT_EQ(f.cmdRecSel->text(), "recover selected image");
  EXPECT_TRUE(f.cmdRecSel->isDefault());
  EXPECT_FALSE(f.cmdRecSel->isEnabled());
  EXPECT_EQ(f.cmdRecAll->text(), "recover all images");
  EXPECT_FALSE(f.cmdRecAll->isEnabled());

  EXPECT_EQ(f.EditDestPath->text(), QApplication::applicationDirPath() + "/");
  EXPECT_EQ(f.EditFilenamePrefix->text(), "recovered");
  EXPECT_EQ(InFrame(f.SpinEditRetryCount), QRect(272, 100, 57, 22));
  EXPECT_EQ(f.SpinEditRetryCount->Value(), 1);
  EXPECT_EQ(f.SpinEditRetryCount->MaxValue(), 100);
  EXPECT_EQ(f.SpinEditSecAtOnce->Value(), 1);
  EXPECT_EQ(f.SpinEditSecAtOnce->MaxValue(), 1000);
}

TEST_F(MainFormTest, EnumerationListsAllButRemoteAndCdRomDrives) {
  platform.AddVolume('a', 2880);
  platform.AddVolume('c', 100, DRIVE_FIXED);
  platform.AddVolume('e', 100, DRIVE_REMOTE);
  platform.AddVolume('f', 100, DRIVE_CDROM);
  platform.AddVolume('g', 100, DRIVE_RAMDISK);
  platform.AddVolume('h', 100, DRIVE_UNKNOWN);
  platform.AddVolume('i', 100, DRIVE_NO_ROOT_DIR);
  platform.Volume('c').model = "Card Reader SD";
  EXPECT_EQ(DriveItems(), QStringList({"A:", "C:", "G:", "H:", "I:"}));
  const QString tip = Form().ListBoxDrives->item(1)->toolTip();
  EXPECT_TRUE(tip.contains("/dev/fakec")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("Card Reader SD")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("51200 bytes")) << tip.toStdString();
  EXPECT_EQ(Form().ListBoxDrives->currentRow(), -1);
}

TEST_F(MainFormTest, FailedDriveListLeavesTheListEmpty) {
  platform.AddVolume('c', 100);
  platform.listFails = true;
  EXPECT_TRUE(DriveItems().isEmpty());
}

TEST_F(MainFormTest, SelectingACardShowsItsDetails) {
  platform.AddVolume('e', 1000000);
  Select("E:");
  TForm1& f = Form();
  EXPECT_EQ(f.DriveNumber, 5);
  EXPECT_EQ(f.DriveGeometry.TotalSectors, 1000000u);
  EXPECT_EQ(f.LabelMedia->text(), "Removable");
  EXPECT_EQ(f.LabelBytesPerSec->text(), "512");
  EXPECT_EQ(f.LabelCapacity->text(), "488.28 MB");
  EXPECT_EQ(f.LabelStatus->text(), "ready");
  EXPECT_TRUE(f.ButtonStart->isEnabled());
  EXPECT_EQ(f.SpinEditSecAtOnce->MinValue(), 1);
  EXPECT_EQ(f.SpinEditSecAtOnce->MaxValue(), 4000);
  EXPECT_EQ(f.SpinEditSecAtOnce->Value(), 4000);  // 10,000 pulled down
  EXPECT_EQ(f.SB->currentMessage(), "Ready");
  EXPECT_TRUE(modal.messages.empty());
}

TEST_F(MainFormTest, SectorsAtOnceFollowTheDrive) {
  platform.AddVolume('a', 2880);
  platform.AddVolume('b', 50);
  platform.AddVolume('c', 500000, DRIVE_REMOVABLE, 2048);
  platform.AddVolume('d', 100000).geometry.BytesPerSector = 0;
  Select("A:");
  EXPECT_EQ(Form().SpinEditSecAtOnce->Value(), 28);
  Select("B:");
  EXPECT_EQ(Form().SpinEditSecAtOnce->Value(), 1);  // 0 pulled up
  Select("C:");
  EXPECT_EQ(Form().SpinEditSecAtOnce->MaxValue(), 1000);
  EXPECT_EQ(Form().SpinEditSecAtOnce->Value(), 1000);
  Select("D:");  // no sector size: the maximum stays
  EXPECT_EQ(Form().SpinEditSecAtOnce->MaxValue(), 1000);
  EXPECT_EQ(Form().SpinEditSecAtOnce->Value(), 1000);
  EXPECT_EQ(Form().LabelBytesPerSec->text(), "0");
}

TEST_F(MainFormTest, FailedSelectionAfterASuccessfulOne) {
  platform.AddVolume('e', 1000000);
  platform.AddVolume('f', 1000).failGeometry = true;
  Select("E:");
  Select("F:");
  TForm1& f = Form();
  EXPECT_EQ(f.DriveNumber, 6);
  EXPECT_EQ(f.LabelStatus->text(), "not ready");
  EXPECT_FALSE(f.ButtonStart->isEnabled());
  EXPECT_TRUE(f.LabelMedia->text().isEmpty());
  EXPECT_TRUE(f.LabelBytesPerSec->text().isEmpty());
  EXPECT_TRUE(f.LabelCapacity->text().isEmpty());
  EXPECT_EQ(f.SpinEditSecAtOnce->Value(), 4000);  // left as the card set it
  EXPECT_EQ(f.SB->currentMessage(), "Ready");
  EXPECT_TRUE(modal.messages.empty());
}

TEST_F(MainFormTest, ARefusedDriveIsNotReadyAndItsTooltipSaysWhy) {
  platform.AddVolume('e', 1000000);
  platform.AddVolume('f', 1000, DRIVE_FIXED).readRefusal = "Access refused: Not authorized";
  platform.AddVolume('g', 1000).failGeometry = true;
  TForm1& f = Form();
  QListWidgetItem* refused = f.ListBoxDrives->item(1);
  const QString plainTip = refused->toolTip();
  Select("E:");
  EXPECT_EQ(platform.prepares, 1);
  Select("F:");
  Select("F:");  // the reason is replaced, not repeated
  EXPECT_EQ(platform.prepares, 3);
  EXPECT_EQ(refused->toolTip(), plainTip + "\nAccess refused: Not authorized");
  EXPECT_EQ(f.DriveNumber, 6);
  EXPECT_EQ(f.LabelStatus->text(), "not ready");
  EXPECT_FALSE(f.ButtonStart->isEnabled());
  // What the system tells without rights to the device is shown all the same.
  EXPECT_EQ(f.LabelMedia->text(), "Fixed");
  EXPECT_EQ(f.LabelBytesPerSec->text(), "512");
  EXPECT_FALSE(f.LabelCapacity->text().isEmpty());
  EXPECT_EQ(f.SpinEditSecAtOnce->Value(), 4000);  // left as the card set it
  EXPECT_TRUE(modal.messages.empty());            // not ready: no fixed-drive warning
  EXPECT_EQ(f.SB->currentMessage(), "Ready");

  // Access is asked for only once the geometry is known.
  Select("G:");
  EXPECT_EQ(platform.prepares, 3);
  // Once granted, the reason goes.
  platform.Volume('f').readRefusal.clear();
  Select("F:");
  EXPECT_EQ(refused->toolTip(), plainTip);
  EXPECT_EQ(f.LabelStatus->text(), "ready");
  EXPECT_TRUE(f.ButtonStart->isEnabled());
}

TEST_F(MainFormTest, FixedDriveWarnsAtEverySelection) {
  platform.AddVolume('c', 1000, DRIVE_FIXED);
  platform.AddVolume('d', 1000, DRIVE_FIXED).failOpen = true;
  Select("C:");
  Select("C:");
  ASSERT_EQ(modal.messages.size(), 2u);
  const TMessageRequest& box = modal.messages[0];
  EXPECT_EQ(box.title, "Fernhollow");
  EXPECT_EQ(box.text, kFixedDriveWarning);
  EXPECT_EQ(box.icon, TMsgIcon::None);
  EXPECT_EQ(box.buttons, QStringList{"OK"});
  EXPECT_EQ(Form().LabelMedia->text(), "Fixed");

  Select("D:");  // not ready: its media label stays empty, so no warning
  EXPECT_EQ(modal.messages.size(), 2u);
}

TEST_F(MainFormTest, RefreshKeepsTheDetailsAndDropsTheSelection) {
  platform.AddVolume('e', 1000000);
  Select("E:");
  platform.AddVolume('g', 2000);
  platform.RemoveVolume('e');
  Form().cmdRefresh->click();
  TForm1& f = Form();
  EXPECT_EQ(DriveItems(), QStringList{"G:"});
  EXPECT_EQ(f.ListBoxDrives->currentRow(), -1);
  EXPECT_TRUE(f.ListBoxDrives->selectedItems().isEmpty());
  EXPECT_EQ(f.LabelCapacity->text(), "488.28 MB");
  EXPECT_EQ(f.LabelStatus->text(), "ready");
  EXPECT_TRUE(f.ButtonStart->isEnabled());
  EXPECT_EQ(f.DriveNumber, 5);
  EXPECT_EQ(f.SpinEditSecAtOnce->Value(), 4000);
}

TEST_F(MainFormTest, TheUsersSelectionAlwaysNamesTheDriveInUse) {
  for (char letter : {'c', 'd', 'e', 'f'}) platform.AddVolume(letter, 2880 * (letter - 'b'));
  TForm1& f = Form();
  f.show();
  QApplication::setActiveWindow(&f);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  // The first thing to do is to pick a drive: the list has the focus.
  EXPECT_EQ(QApplication::focusWidget(), f.ListBoxDrives);
  QWidget* viewport = f.ListBoxDrives->viewport();
  const auto at = [&](int row) {
    return f.ListBoxDrives->visualItemRect(f.ListBoxDrives->item(row)).center();
  };
  const auto shown = [&] { return f.ListBoxDrives->SelectedItem()->text(); };

  QTest::keyClick(f.ListBoxDrives, Qt::Key_Space);  // the first, current but not selected
  EXPECT_EQ(f.DriveNumber, 3);
  EXPECT_EQ(f.LabelCapacity->text(), "1.41 MB");

  // Dragged from C: to E:, the scan reads E:.
  QTest::mousePress(viewport, Qt::LeftButton, {}, at(0));
  QTest::mouseMove(viewport, at(1));
  QTest::mouseMove(viewport, at(2));
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(2));
  EXPECT_EQ(shown(), "E:");
  EXPECT_EQ(f.DriveNumber, 5);
  EXPECT_EQ(f.LabelCapacity->text(), "4.22 MB");

  // Neither the blank area nor Ctrl+click leave a highlight apart from E:.
  QTest::mouseClick(viewport, Qt::LeftButton, {}, {20, viewport->height() - 3});
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, at(2));
  EXPECT_EQ(shown(), "E:");
  EXPECT_EQ(f.DriveNumber, 5);

  QTest::keyClick(f.ListBoxDrives, Qt::Key_End);
  EXPECT_EQ(f.DriveNumber, 6);
  // The program's own changes to the list select nothing.
  f.cmdRefresh->click();
  f.ListBoxDrives->setCurrentRow(0);
  EXPECT_EQ(f.DriveNumber, 6);
  EXPECT_EQ(f.LabelCapacity->text(), "5.63 MB");
}

// The folder of the window's destination at start-up, for a program folder
// and a pictures folder of the test's choosing.
class DefaultDestinationTest : public MainFormTest {
 protected:
  void TearDown() override {
    SetProgramFolder({});
    if (oldConfig.isNull()) {
      qunsetenv("XDG_CONFIG_HOME");
    } else {
      qputenv("XDG_CONFIG_HOME", oldConfig);
    }
    MainFormTest::TearDown();
  }
  QString Folder(const std::string& name) {
    std::filesystem::create_directories(scratch.Path() / name);
    return QString::fromStdString((scratch.Path() / name).string());
  }
  void PicturesIn(const QString& folder) {
    const QString config = Folder("config");
    QFile dirs(config + "/user-dirs.dirs");
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_PICTURES_DIR=\"" + folder.toUtf8() + "\"\n");
    dirs.close();
    qputenv("XDG_CONFIG_HOME", config.toUtf8());
  }
  QString Destination() {
    form.reset();
    DoneDiskAccess();
    return Form().EditDestPath->text();
  }

  TTempDir scratch;
  const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
};

TEST_F(DefaultDestinationTest, ProgramFolderWhereWritableElsePicturesElseHome) {
  const QString program = Folder("program");
  SetProgramFolder(program);
  EXPECT_EQ(Destination(), program + "/");

  const QString pictures = Folder("Bilder");
  PicturesIn(pictures);
  SetProgramFolder(program + "/gone");  // cannot be written to
  EXPECT_EQ(Destination(), pictures + "/");
  if (::geteuid() != 0) {  // root may write anywhere
    std::filesystem::permissions(program.toStdString(), std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_exec);
    SetProgramFolder(program);
    EXPECT_EQ(Destination(), pictures + "/");
  }

  // No pictures folder on this machine: home.
  PicturesIn(pictures + "/gone");
  EXPECT_EQ(Destination(), QDir::homePath() + "/");
}

TEST_F(MainFormTest, LongStatusTextsLoseTheirMiddle) {
  TForm1& f = Form();
  auto* bar = qobject_cast<TStatusBar*>(f.SB);
  ASSERT_NE(bar, nullptr);
  bar->showMessage("Ready");
  EXPECT_EQ(bar->ShownText(), "Ready");

  const QString path = "/media/ann/EOS_DIGITAL/recovered/from-the-card-of-the-summer-holiday/" +
                       QString("very-long-folder-name/").repeated(3) + "recovered1234.JPG";
  bar->showMessage(path + " was successfully restored");
  EXPECT_EQ(bar->currentMessage(), path + " was successfully restored");
  const QString shown = bar->ShownText();
  EXPECT_TRUE(shown.startsWith("/media/ann/")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("successfully restored")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
  // Within what the bar repaints when its text changes.
  EXPECT_LE(bar->fontMetrics().horizontalAdvance(shown),
            bar->width() - 12 - bar->fontMetrics().height());
}

TEST_F(MainFormTest, FileSizeGrowsLeftwardsClearOfItsCaption) {
  TForm1& f = Form();
  QLabel* caption = nullptr;
  for (QLabel* label : f.TabSheet4->findChildren<QLabel*>())
    if (label->text() == "Filesize:") caption = label;
  ASSERT_NE(caption, nullptr);
  const int captionEnd = caption->x() + caption->fontMetrics().horizontalAdvance("Filesize:");

  // Up to 2 TiB, the largest drive that can be searched.
  for (qint64 size :
       {qint64{1600000}, qint64{1234567890}, qint64{12345678901}, qint64{2199023255552}}) {
    SCOPED_TRACE(size);
    f.ShowFileSize(size);
    const QString text = QString::number(size) + " Bytes";
    EXPECT_EQ(f.lblSize->text(), text);
    EXPECT_EQ(f.lblSize->geometry().right() + 1, 145);
    EXPECT_EQ(f.lblSize->y() + f.lblSize->fontMetrics().ascent(),
              224 + caption->fontMetrics().ascent());  // on the caption's line
    EXPECT_GT(f.lblSize->x(), captionEnd + 2);
    EXPECT_LE(f.lblSize->fontMetrics().horizontalAdvance(text), f.lblSize->width());
  }
  // A size that fits is drawn in the window's own font again.
  f.ShowFileSize(1600000);
  EXPECT_EQ(f.lblSize->font(), f.font());
  EXPECT_EQ(f.lblSize->y(), 224);
}

TEST(CapacityTextTest, UnitsRoundingAndSeparator) {
  struct Case {
    std::uint32_t sectors, bytesPerSector;
    const char* text;
  };
  const Case cases[] = {
      {1000, 512, "500.00 KB"},
      {2880, 512, "1.41 MB"},
      {125440, 512, "61.25 MB"},
      {2097152, 512, "1.00 GB"},
      {4000000, 512, "1.91 GB"},
      {2048, 512, "1.00 MB"},     // exactly 1024 KB
      {2047, 512, "1.00 MB"},     // 1023.5 KB rounds to the even 1024
      {2045, 512, "1022.00 KB"},  // 1022.5 KB rounds to the even 1022
      {2043, 512, "1022.00 KB"},  // 1021.5 KB rounds to the even 1022
      {1, 512, "0.00 KB"},        // 0.5 KB rounds to 0
      {3, 512, "2.00 KB"},        // 1.5 KB rounds to 2
      {0, 512, "0.00 KB"},
      {2304, 512, "1.13 MB"},  // 1.125 MB: the half rounds up
      {0xFFFFFFFFu, 512, "2048.00 GB"},
      {1000, 0, "0.00 KB"},
      {1000, 2048, "1.95 MB"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CapacityText(c.sectors, c.bytesPerSector, '.'), c.text) << c.sectors;
  }
  EXPECT_EQ(CapacityText(2880, 512, ','), "1,41 MB");
}

TEST(ErrorReportTest, GuardReportsTheErrorAndGoesOn) {
  TRecordingModal modal;
  bool after = false;
  Guarded(nullptr, [] { throw std::runtime_error("Disk full"); });
  Guarded(nullptr, [] { throw std::runtime_error("Could not open file."); });
  Guarded(nullptr, [] { throw std::runtime_error("Bad value: -"); });  // '-' sorts before '.'
  Guarded(nullptr, [] { throw 42; });
  Guarded(nullptr, [&] { after = true; });
  EXPECT_TRUE(after);
  ASSERT_EQ(modal.messages.size(), 4u);
  EXPECT_EQ(modal.messages[0].title, "Fernhollow");
  EXPECT_EQ(modal.messages[0].icon, TMsgIcon::Error);
  EXPECT_EQ(modal.messages[0].buttons, QStringList{"OK"});
  EXPECT_EQ(modal.messages[0].text, "Disk full.");
  EXPECT_EQ(modal.messages[1].text, "Could not open file.");
  EXPECT_EQ(modal.messages[2].text, "Bad value: -");
  EXPECT_EQ(ErrorReportText(""), "");
  EXPECT_EQ(ErrorReportText("ends with a bracket)"), "ends with a bracket)");  // ')' < '.'
  EXPECT_EQ(ErrorReportText("kaputt ü"), "kaputt ü.");
}

}  // namespace
