// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordingmodal.h"
#include "ui/dialogdir.h"
#include "ui/mainform.h"
#include "ui/scanhost.h"
#include "ui/spinedit.h"

namespace {

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDiskAccess(platform);
    form = std::make_unique<TForm1>(platform);
    form->DialogSelectDir = &chooser;
    ASSERT_TRUE(folders.isValid());
    ASSERT_TRUE(QDir(folders.path()).mkpath("Photos/Out"));
  }
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
  }

  QString Folder(const QString& relative) const { return folders.path() + "/" + relative; }

  // Answers the chooser's next showing: select a folder (or none), then press a button.
  void Answer(const QString& folder, QPushButton* TDialogSelectDir::*button) {
    modal.onDialog = [this, folder, button](QDialog& dialog) {
      auto& chooser = static_cast<TDialogSelectDir&>(dialog);
      if (!folder.isEmpty()) chooser.SelectFolder(folder);
      (chooser.*button)->click();
      return dialog.result();
    };
  }

  FakePlatform platform;
  TRecordingModal modal;
  TDialogSelectDir chooser;
  std::unique_ptr<TForm1> form;
  QTemporaryDir folders;
};

TEST_F(OptionsTest, TypeBoxesAsLaidOutWithOnlyJpegChecked) {
  struct Box {
    QCheckBox* box;
    const char* caption;
    QRect geometry;
  };
  const Box boxes[] = {
      {form->chkJPG, "Jpeg's (*.JPG)", {16, 184, 89, 17}},
      {form->chkBMP, "Bitmaps (*.BMP)", {112, 184, 105, 17}},
      {form->chkGIF, "GIFF (*.GIF)", {16, 232, 89, 17}},
      {form->chkTIF, "TIFF (*.TIF)", {16, 208, 89, 17}},
      {form->chkMOV, "Quicktime movies (*.MOV)", {256, 184, 145, 17}},
      {form->chkAVI, "AVI movies (*.AVI)", {256, 208, 113, 17}},
      {form->chkPNG, "PNG (*.png)", {112, 208, 89, 17}},
      {form->chkRIFF, "Unknown RIFF (*.RIFF)", {112, 232, 137, 17}},
      {form->chkWAV, "Wave files (*.WAV)", {256, 232, 145, 17}},
      {form->chkOther, "Other camera files (HEIC, CR3, RAF, MTS)", {16, 256, 385, 17}},
      {form->chkCheckFiles, "Check headers and cut files at their end", {112, 158, 289, 17}},
  };
  for (const Box& b : boxes) {
    EXPECT_EQ(b.box->text(), b.caption);
    EXPECT_EQ(b.box->geometry(), b.geometry) << b.caption;
    EXPECT_EQ(b.box->isChecked(), b.box == form->chkJPG) << b.caption;
  }
  const TSearchTypes& types = form->SearchTypes;
  EXPECT_TRUE(types.JPG);
  EXPECT_FALSE(types.BMP || types.GIF || types.TIF || types.PNG || types.WAV || types.AVI ||
               types.RIFF || types.MOV || types.Other);
  EXPECT_EQ(form->Button3->text(), "...");
  EXPECT_EQ(form->Button3->geometry(), QRect(332, 32, 29, 25));
  EXPECT_EQ(form->EditDestPath->geometry(), QRect(16, 32, 313, 21));
  EXPECT_EQ(form->EditFilenamePrefix->geometry(), QRect(16, 72, 137, 21));
}

TEST_F(OptionsTest, TabOrderRunsThroughTheFieldsThenTheBoxes) {
  form->PageControl->setCurrentIndex(1);
  form->show();
  QApplication::setActiveWindow(form.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->EditDestPath->setFocus();
  QStringList order;
  for (int i = 0; i < 16; ++i) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    // A number field takes the focus in its text field.
    if (auto* spin = qobject_cast<TSpinEdit*>(focus->parentWidget())) focus = spin;
    order << focus->objectName();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  EXPECT_EQ(order, QStringList({"EditDestPath", "EditFilenamePrefix", "SpinEditRetryCount",
                                "SpinEditSecAtOnce", "Button3", "chkJPG", "chkBMP", "chkGIF",
                                "chkTIF", "chkMOV", "chkAVI", "chkPNG", "chkRIFF", "chkWAV",
                                "chkOther", "chkCheckFiles"}));
}

TEST_F(OptionsTest, BoxChangedBetweenTwoSectorsCountsFromTheNext) {
  const std::uint8_t bitmap[512] = {'B', 'M'};
  std::string tag = "JPG";
  EXPECT_FALSE(DetectFileType(form->SearchTypes, bitmap, sizeof bitmap, tag));
  form->chkBMP->click();
  EXPECT_TRUE(DetectFileType(form->SearchTypes, bitmap, sizeof bitmap, tag));
  EXPECT_EQ(tag, "BMP");
  form->chkBMP->setChecked(false);
  form->chkJPG->setChecked(false);
  EXPECT_FALSE(DetectFileType(form->SearchTypes, bitmap, sizeof bitmap, tag));
  EXPECT_FALSE(form->SearchTypes.JPG);
}

TEST_F(OptionsTest, CheckBoxReachesTheScanAtEverySector) {
  TWindowScanHost host(*form);
  EXPECT_FALSE(host.CheckFiles());
  form->chkCheckFiles->click();
  EXPECT_TRUE(host.CheckFiles());
  form->chkCheckFiles->click();
  EXPECT_FALSE(host.CheckFiles());
}

TEST_F(OptionsTest, ChooserOkSetsTheDestinationWithoutTrailingSlash) {
  EXPECT_FALSE(chooser.Watching());  // no refresh until first shown
  Answer(Folder("Photos/Out"), &TDialogSelectDir::OKBtn);
  form->Button3->click();
  EXPECT_EQ(form->EditDestPath->text(), Folder("Photos/Out"));
  EXPECT_EQ(chooser.SelectedPath, Folder("Photos/Out"));
  EXPECT_TRUE(chooser.Watching());

  // The chooser keeps its selection: OK again gives the same folder.
  Answer("", &TDialogSelectDir::OKBtn);
  form->EditDestPath->setText("typed by hand");
  form->Button3->click();
  EXPECT_EQ(form->EditDestPath->text(), Folder("Photos/Out"));

  Answer("/", &TDialogSelectDir::OKBtn);  // the root keeps its one "/"
  form->Button3->click();
  EXPECT_EQ(form->EditDestPath->text(), "/");
}

TEST_F(OptionsTest, ChooserOkWithNothingSelectedEmptiesTheDestination) {
  modal.onDialog = [](QDialog& dialog) {
    auto& chooser = static_cast<TDialogSelectDir&>(dialog);
    chooser.ShellTreeView1->selectionModel()->clearSelection();
    chooser.OKBtn->click();
    return dialog.result();
  };
  form->Button3->click();
  EXPECT_EQ(form->EditDestPath->text(), "");
}

TEST_F(OptionsTest, CancelEscAndCloseLeaveEverythingAsItWas) {
  Answer(Folder("Photos"), &TDialogSelectDir::OKBtn);
  form->Button3->click();
  const QString before = form->EditDestPath->text();

  Answer(Folder("Photos/Out"), &TDialogSelectDir::CancelBtn);
  EXPECT_FALSE(chooser.Execute());
  form->Button3->click();
  EXPECT_EQ(form->EditDestPath->text(), before);
  EXPECT_EQ(chooser.SelectedPath, Folder("Photos"));

  for (bool viaEsc : {true, false}) {
    modal.onDialog = [this, viaEsc](QDialog& dialog) {
      chooser.SelectFolder(Folder("Photos/Out"));
      dialog.show();
      if (viaEsc) {
        QTest::keyClick(&dialog, Qt::Key_Escape);
      } else {
        dialog.close();  // the title bar's close box
      }
      return dialog.result();
    };
    form->Button3->click();
    EXPECT_EQ(form->EditDestPath->text(), before) << (viaEsc ? "Esc" : "close");
    EXPECT_EQ(chooser.SelectedPath, Folder("Photos"));
  }
}

TEST_F(OptionsTest, ChooserLayoutEnterAndRightClick) {
  EXPECT_EQ(chooser.windowTitle(), "Choose directory...");
  EXPECT_EQ(chooser.size(), QSize(330, 280));
  EXPECT_EQ(chooser.minimumSize(), chooser.maximumSize());
  EXPECT_EQ(chooser.ShellTreeView1->geometry(), QRect(8, 28, 313, 197));
  EXPECT_EQ(chooser.OKBtn->geometry(), QRect(83, 240, 75, 25));
  EXPECT_EQ(chooser.CancelBtn->geometry(), QRect(163, 240, 75, 25));
  EXPECT_EQ(chooser.ShellTreeView1->indentation(), 19);

  chooser.SelectFolder(Folder("Photos"));
  chooser.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
  QTreeView* tree = chooser.ShellTreeView1;
  const QModelIndex photos = tree->currentIndex();
  tree->expand(photos);
  const QModelIndex out =
      static_cast<QFileSystemModel*>(tree->model())->index(Folder("Photos/Out"));
  ASSERT_TRUE(out.isValid());
  QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, tree->visualRect(out).center());
  EXPECT_EQ(tree->currentIndex(), out);

  QTest::keyClick(&chooser, Qt::Key_Return);  // OK is the default button
  EXPECT_EQ(chooser.result(), QDialog::Accepted);
}

TEST_F(OptionsTest, ChooserRunsModallyThroughTheRealWindow) {
  SetModalHook(nullptr);
  chooser.SelectFolder(Folder("Photos/Out"));
  QTimer::singleShot(0, chooser.OKBtn, &QPushButton::click);
  EXPECT_TRUE(chooser.Execute());
  EXPECT_EQ(chooser.SelectedPath, Folder("Photos/Out"));
  SetModalHook(&modal);
}

}  // namespace
