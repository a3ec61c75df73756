// SPDX-License-Identifier: GPL-3.0-or-later
// Restore tab: recover selected and all, the clean-up at close, and the preview.
#include <gtest/gtest.h>
#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <set>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/samplecard.h"
#include "tests/support/tempdir.h"
#include "ui/foundfiles.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/modal.h"
#include "ui/preview.h"

namespace fs = std::filesystem;

// Readable failures for texts of the window.
static void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

using Bytes = std::vector<std::uint8_t>;

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Padded(Bytes bytes, std::size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

Bytes Bitmap(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(QColor(20, 200, 40));
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "BMP");
  return {data.begin(), data.end()};
}

Bytes Png() {
  QImage image(40, 30, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return {data.begin(), data.end()};
}

class RestoreWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitDiskAccess(platform);
    form = std::make_unique<TForm1>(platform);
    form->EditDestPath->setText(QString::fromStdString(dir.string() + "/"));
  }
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
  }

  // A listed entry as a scan leaves it: the stored file only.
  void AddEntry(const std::string& name, const Bytes& bytes) {
    WriteFile(dir / name, bytes);
    form->ZLIB.InputFile = (dir / name).string();
    form->ZLIB.OutputFile = (dir / name).string() + ".rdf";
    form->ZLIB.Compress();
    fs::remove(dir / name);
    ListFoundFile(*form->lstResults, QString::fromStdString(name),
                  QString::fromStdString((dir / name).string() + ".rdf"));
    form->cmdRecAll->setEnabled(true);
  }

  void Select(int row) {
    form->lstResults->setCurrentRow(row);
    emit form->lstResults->UserSelected();
  }

  QImage Picture() const { return form->imgPreview->pixmap().toImage(); }

  // Files in the folder, stored ones included.
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
  }

  TTempDir scratch;
  const fs::path dir = scratch.Path();
  FakePlatform platform;
  TRecordingModal modal;
  std::unique_ptr<TForm1> form;
};

TEST_F(RestoreWindowTest, RecoverSelectedTwiceAndCleanUpAtClose) {
  const Bytes photo = EncodeJpeg(64, 48, false, 1);
  AddEntry("recovered1.JPG", photo);
  AddEntry("recovered2.JPG", EncodeJpeg(64, 48, true, 2));
  Select(0);
  ASSERT_TRUE(form->cmdRecSel->isEnabled());

  QSignalSpy texts(form->SB, &QStatusBar::messageChanged);
  form->cmdRecSel->click();
  ASSERT_EQ(texts.count(), 2);
  EXPECT_EQ(texts[0][0].toString(), "restoring image...");
  const QString restored = QString::fromStdString((dir / "recovered1.JPG").string());
  EXPECT_EQ(texts[1][0].toString(), restored + " was successfully restored");
  EXPECT_EQ(ReadBytes(dir / "recovered1.JPG"), photo);
  EXPECT_TRUE(form->cmdRecSel->isEnabled());

  // Again: the same plain file, replaced; the stored file stays.
  WriteFile(dir / "recovered1.JPG", {'x'});
  form->cmdRecSel->click();
  EXPECT_EQ(ReadBytes(dir / "recovered1.JPG"), photo);
  EXPECT_TRUE(modal.messages.empty());

  WriteFile(dir / "notes.txt", {'n'});
  modal.answers = {kJa};  // recovered2.JPG never was
  form->close();
  EXPECT_EQ(Files(), (std::set<std::string>{"recovered1.JPG", "notes.txt"}));
}

TEST_F(RestoreWindowTest, CloseAsksBeforeFilesNeverRecoveredGo) {
  for (const char* name : {"r1.JPG", "r2.JPG", "r3.JPG"})
    AddEntry(name, EncodeJpeg(16, 16, false, 17));
  form->show();
  Select(0);
  form->cmdRecSel->click();
  Select(1);  // a preview recovers nothing

  EXPECT_FALSE(form->close());
  ASSERT_EQ(modal.messages.size(), 1u);
  const TMessageRequest& box = modal.messages[0];
  EXPECT_EQ(box.title, "Bestätigung");
  EXPECT_EQ(box.icon, TMsgIcon::Question);
  EXPECT_EQ(box.buttons, QStringList({"&Ja", "&Nein"}));
  EXPECT_EQ(box.text,
            "2 found files have not been recovered yet. Their stored copies are deleted when "
            "Fernhollow closes. Close anyway?");
  EXPECT_EQ(box.defaultButton, kNein);
  EXPECT_EQ(box.escapeButton, kNein);
  // "&Nein": the window stays and nothing is deleted.
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(Files(), (std::set<std::string>{"r1.JPG", "r1.JPG.rdf", "r2.JPG.rdf", "r3.JPG.rdf"}));

  modal.answers = {kJa};
  EXPECT_TRUE(form->close());
  EXPECT_EQ(modal.messages.size(), 2u);
  EXPECT_EQ(Files(), std::set<std::string>{"r1.JPG"});
}

TEST_F(RestoreWindowTest, OneFileNeverRecoveredIsAskedAboutInTheSingular) {
  AddEntry("r1.JPG", EncodeJpeg(16, 16, false, 17));
  EXPECT_FALSE(form->close());
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_EQ(modal.messages[0].text,
            "1 found file has not been recovered yet. Its stored copy is deleted when Fernhollow "
            "closes. Close anyway?");
}

TEST_F(RestoreWindowTest, EverythingRecoveredClosesUnasked) {
  for (const char* name : {"r1.JPG", "r2.BMP"}) AddEntry(name, Bitmap(4, 4));
  form->cmdRecAll->click();
  EXPECT_TRUE(form->close());
  EXPECT_TRUE(modal.messages.empty());
  EXPECT_EQ(Files(), (std::set<std::string>{"r1.JPG", "r2.BMP"}));
}

TEST_F(RestoreWindowTest, EditedDestinationSendsRecoverToTheNewFolderButNotTheCleanUp) {
  AddEntry("recovered1.JPG", EncodeJpeg(32, 32, false, 1));
  AddEntry("recovered2.BMP", Bitmap(8, 8));
  const fs::path other = dir / "elsewhere";
  fs::create_directory(other);
  for (const char* name : {"recovered1.JPG.rdf", "recovered2.BMP.rdf"})
    fs::copy_file(dir / name, other / name);
  form->EditDestPath->setText(QString::fromStdString(other.string() + "/"));

  form->cmdRecAll->click();
  EXPECT_TRUE(fs::exists(other / "recovered1.JPG"));
  EXPECT_TRUE(fs::exists(other / "recovered2.BMP"));
  EXPECT_FALSE(fs::exists(dir / "recovered1.JPG"));
  EXPECT_EQ(
      form->SB->currentMessage(),
      QString::fromStdString((other / "recovered2.BMP").string()) + " was successfully restored");

  // The clean-up goes where the files were stored; the copies in the new
  // folder are not this run's.
  form->close();
  EXPECT_FALSE(fs::exists(dir / "recovered1.JPG.rdf"));
  EXPECT_FALSE(fs::exists(dir / "recovered2.BMP.rdf"));
  EXPECT_TRUE(fs::exists(other / "recovered1.JPG.rdf"));
  EXPECT_TRUE(fs::exists(other / "recovered2.BMP"));
}

TEST_F(RestoreWindowTest, DestinationWithoutTrailingSlash) {
  form->EditDestPath->setText(QString::fromStdString(dir.string()));
  WriteFile(dir / "img1.JPG", EncodeJpeg(16, 16, false, 3));
  form->ZLIB.InputFile = (dir / "img1.JPG").string();
  form->ZLIB.OutputFile = (dir / "img1.JPG.rdf").string();
  form->ZLIB.Compress();
  fs::remove(dir / "img1.JPG");
  ListFoundFile(*form->lstResults, "/img1.JPG",  // as the scan lists it
                QString::fromStdString((dir / "img1.JPG.rdf").string()));
  Select(0);
  form->cmdRecSel->click();
  EXPECT_TRUE(fs::exists(dir / "img1.JPG"));
  EXPECT_EQ(form->SB->currentMessage(),
            QString::fromStdString(dir.string() + "/img1.JPG was successfully restored"));
  form->close();
  EXPECT_EQ(Files(), std::set<std::string>{"img1.JPG"});
}

TEST_F(RestoreWindowTest, RecoverAllKeepsTheFocusOffTheTabBar) {
  AddEntry("r1.JPG", EncodeJpeg(16, 16, false, 18));
  AddEntry("r2.JPG", EncodeJpeg(16, 16, false, 19));
  form->show();
  QApplication::setActiveWindow(form.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->PageControl->setCurrentWidget(form->TabSheet4);
  form->cmdRecAll->setFocus();
  QList<QWidget*> focusDuringLoop;
  QObject::connect(form->SB, &QStatusBar::messageChanged, form.get(),
                   [&] { focusDuringLoop << QApplication::focusWidget(); });

  QTest::keyClick(form->cmdRecAll, Qt::Key_Space);
  ASSERT_TRUE(fs::exists(dir / "r2.JPG"));
  EXPECT_EQ(focusDuringLoop, QList<QWidget*>({form->lstResults, form->lstResults}));
  EXPECT_EQ(QApplication::focusWidget(), form->cmdRecAll);
  // The list holding the focus meanwhile ran no preview.
  EXPECT_TRUE(form->lblSize->text().isEmpty());
}

TEST_F(RestoreWindowTest, RecoverAllStopsAtTheFailingEntryAndComesBackOn) {
  for (const char* name : {"r1.JPG", "r2.JPG", "r3.JPG"})
    AddEntry(name, EncodeJpeg(16, 16, false, 4));
  fs::remove(dir / "r2.JPG.rdf");
  bool offDuringLoop = false;
  QObject::connect(form->SB, &QStatusBar::messageChanged, form.get(),
                   [&] { offDuringLoop = !form->cmdRecAll->isEnabled(); });

  form->cmdRecAll->click();
  EXPECT_TRUE(offDuringLoop);
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_EQ(modal.messages[0].title, "Fernhollow");
  EXPECT_EQ(modal.messages[0].icon, TMsgIcon::Error);
  EXPECT_TRUE(fs::exists(dir / "r1.JPG"));
  EXPECT_FALSE(fs::exists(dir / "r2.JPG"));
  EXPECT_FALSE(fs::exists(dir / "r3.JPG"));
  EXPECT_TRUE(form->cmdRecAll->isEnabled());
  EXPECT_EQ(form->SB->currentMessage(),
            QString::fromStdString((dir / "r1.JPG").string()) + " was successfully restored");

  // An empty list: the button goes off and on again, nothing else.
  form->lstResults->clear();
  modal.messages.clear();
  form->cmdRecAll->click();
  EXPECT_TRUE(form->cmdRecAll->isEnabled());
  EXPECT_TRUE(modal.messages.empty());
}

TEST_F(RestoreWindowTest, EnterOnTheRestoreTabRecoversTheSelection) {
  AddEntry("recovered1.JPG", EncodeJpeg(16, 16, false, 5));
  form->show();
  QApplication::setActiveWindow(form.get());
  form->PageControl->setCurrentWidget(form->TabSheet4);
  form->lstResults->setFocus();

  QTest::keyClick(form->lstResults, Qt::Key_Return);  // nothing selected yet: button off
  EXPECT_FALSE(fs::exists(dir / "recovered1.JPG"));

  QTest::mouseClick(form->lstResults->viewport(), Qt::LeftButton, {},
                    form->lstResults->visualItemRect(form->lstResults->item(0)).center());
  ASSERT_TRUE(form->cmdRecSel->isEnabled());
  form->cmdRecAll->setFocus();
  QTest::keyClick(form->cmdRecAll, Qt::Key_Return);  // another button has the focus
  EXPECT_FALSE(fs::exists(dir / "recovered1.JPG"));

  form->lstResults->setFocus();
  QTest::keyClick(form->lstResults, Qt::Key_Return);
  EXPECT_TRUE(fs::exists(dir / "recovered1.JPG"));
}

TEST_F(RestoreWindowTest, PreviewDrawsAPhotoAndRemovesItsCopy) {
  const Bytes photo = EncodeJpeg(400, 100, false, 6);
  AddEntry("recovered1.JPG", photo);
  form->show();
  QApplication::setActiveWindow(form.get());
  form->PageControl->setCurrentWidget(form->TabSheet4);
  bool listOffDuringPreview = false;
  QObject::connect(form->SB, &QStatusBar::messageChanged, form.get(), [&](const QString& text) {
    if (text == "preparing thumbnail...") listOffDuringPreview = !form->lstResults->isEnabled();
  });

  QTest::mouseClick(form->lstResults->viewport(), Qt::LeftButton, {},
                    form->lstResults->visualItemRect(form->lstResults->item(0)).center());
  EXPECT_TRUE(listOffDuringPreview);
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
  EXPECT_EQ(form->lblSize->text(), QString::number(photo.size()) + " Bytes");
  EXPECT_EQ(form->lblSize->geometry().right() + 1, 145);
  EXPECT_EQ(form->lblSize->y(), 224);
  EXPECT_TRUE(form->cmdRecSel->isEnabled());
  EXPECT_TRUE(form->lstResults->isEnabled());
  EXPECT_TRUE(form->lstResults->hasFocus());
  EXPECT_EQ(Files(), std::set<std::string>{"recovered1.JPG.rdf"});

  // Wide: full width, height 193 / 4 = 48, from the top-left corner.
  const QImage shown = Picture();
  ASSERT_EQ(shown.size(), QSize(193, 129));
  EXPECT_EQ(qAlpha(shown.pixel(0, 0)), 255);
  EXPECT_EQ(qAlpha(shown.pixel(192, 47)), 255);
  EXPECT_EQ(qAlpha(shown.pixel(0, 48)), 0);
}

TEST_F(RestoreWindowTest, EveryWayTheUserSelectsAnEntryPreviewsIt) {
  const Bytes first = EncodeJpeg(64, 48, false, 20);
  const Bytes second = EncodeJpeg(64, 48, false, 21);
  const Bytes third = Bitmap(6, 6);
  AddEntry("r1.JPG", first);
  AddEntry("r2.JPG", second);
  AddEntry("r3.BMP", third);
  form->show();
  QApplication::setActiveWindow(form.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->PageControl->setCurrentWidget(form->TabSheet4);
  TListBox* list = form->lstResults;
  QWidget* viewport = list->viewport();
  const auto at = [&](int row) { return list->visualItemRect(list->item(row)).center(); };
  const auto shownSize = [&] { return form->lblSize->text().section(' ', 0, 0).toULongLong(); };

  // Shift+Tab brings the focus in; Space selects the first entry and previews it.
  form->cmdRecAll->setEnabled(true);
  form->cmdRecAll->setFocus();
  QTest::keyClick(form->cmdRecAll, Qt::Key_Backtab, Qt::ShiftModifier);
  ASSERT_EQ(QApplication::focusWidget(), list);
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_EQ(shownSize(), first.size());
  EXPECT_TRUE(form->cmdRecSel->isEnabled());

  // Dragged from the first to the third: the preview, which takes the list
  // off and on again at the press, ends on the third.
  QTest::mousePress(viewport, Qt::LeftButton, {}, at(0));
  QTest::mouseMove(viewport, at(1));
  QTest::mouseMove(viewport, at(2));
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(2));
  EXPECT_EQ(list->SelectedItem(), list->item(2));
  EXPECT_EQ(shownSize(), third.size());

  // The blank area keeps the entry that recover selected writes.
  QTest::mouseClick(viewport, Qt::LeftButton, {}, {20, viewport->height() - 3});
  QTest::keyClick(list, Qt::Key_Up);
  EXPECT_EQ(shownSize(), second.size());
  form->cmdRecSel->click();
  EXPECT_EQ(ReadBytes(dir / "r2.JPG"), second);
}

TEST_F(RestoreWindowTest, PreviewScalingOfTallSquareAndBitmapPictures) {
  AddEntry("tall.JPG", EncodeJpeg(100, 400, false, 7));
  AddEntry("square.jpg", EncodeJpeg(50, 50, false, 8));
  AddEntry("wide.BMP", Bitmap(300, 100));
  Select(0);  // 129 / 4 = 32 wide, full height
  QImage shown = Picture();
  EXPECT_EQ(qAlpha(shown.pixel(31, 128)), 255);
  EXPECT_EQ(qAlpha(shown.pixel(32, 0)), 0);
  Select(1);  // 129 x 129, scaled up
  shown = Picture();
  EXPECT_EQ(qAlpha(shown.pixel(128, 128)), 255);
  EXPECT_EQ(qAlpha(shown.pixel(129, 0)), 0);
  Select(2);  // 193 x 64, the bitmap's own green
  shown = Picture();
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
  EXPECT_EQ(qAlpha(shown.pixel(192, 63)), 255);
  EXPECT_EQ(qAlpha(shown.pixel(0, 64)), 0);
  EXPECT_GT(qGreen(shown.pixel(10, 10)), 150);
  EXPECT_EQ(Files().size(), 3u);  // the stored files only
}

TEST_F(RestoreWindowTest, PreviewSizeLimitKeepsTheCopyOfABigFile) {
  const Bytes photo = EncodeJpeg(64, 48, false, 9);
  AddEntry("small.JPG", Padded(photo, 1599999));
  AddEntry("big.JPG", Padded(photo, 1600000));
  Select(0);
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
  EXPECT_EQ(form->lblSize->text(), "1599999 Bytes");
  const QImage before = Picture();
  EXPECT_FALSE(before.isNull());

  Select(1);
  EXPECT_EQ(form->SB->currentMessage(), "Filesize to big or file could be damaged.");
  EXPECT_EQ(form->lblSize->text(), "1600000 Bytes");
  EXPECT_EQ(form->lblSize->geometry().right() + 1, 145);
  EXPECT_EQ(Picture(), before);
  EXPECT_EQ(ReadBytes(dir / "big.JPG"), Padded(photo, 1600000));
  EXPECT_FALSE(fs::exists(dir / "small.JPG"));
  EXPECT_TRUE(form->lstResults->isEnabled());
}

TEST_F(RestoreWindowTest, TypesWithoutDecoderAndUndecodableContentFail) {
  AddEntry("photo.JPG", EncodeJpeg(64, 48, false, 10));
  Select(0);
  const QImage before = Picture();
  ASSERT_FALSE(before.isNull());

  // PNG content Qt could read: still no decoder for the type.
  AddEntry("r1.PNG", Png());
  AddEntry("r2.GIF", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0});
  for (const char* tag : {"TIF", "WAV", "AVI", "RIFF", "MOV"})
    AddEntry(std::string("r.") + tag, Bytes(700, 0x49));
  AddEntry("broken.JPG", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1});
  AddEntry("broken.BMP", Bytes{'B', 'M', 1, 2, 3});
  AddEntry("photo.bmp", EncodeJpeg(64, 48, false, 11));  // content of another kind

  for (int row = 1; row < form->lstResults->count(); ++row) {
    SCOPED_TRACE(form->lstResults->item(row)->text().toStdString());
    form->cmdRecSel->setEnabled(false);
    Select(row);
    EXPECT_EQ(form->SB->currentMessage(), "ERROR: Could not preview this file");
    EXPECT_TRUE(form->cmdRecSel->isEnabled());
    EXPECT_TRUE(form->lblSize->text().endsWith(" Bytes"));
    EXPECT_EQ(Picture(), before);
  }
  EXPECT_EQ(form->lblSize->text(),
            QString::number(EncodeJpeg(64, 48, false, 11).size()) + " Bytes");
  for (const std::string& name : Files()) EXPECT_TRUE(name.ends_with(".rdf")) << name;
  EXPECT_TRUE(modal.messages.empty());
}

TEST_F(RestoreWindowTest, TruncatedPhotoIsStillDrawn) {
  const Bytes photo = EncodeJpeg(320, 240, false, 12, 95);
  AddEntry("cut.JPG", Bytes(photo.begin(), photo.begin() + photo.size() / 2));
  Select(0);
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
  EXPECT_EQ(qAlpha(Picture().pixel(0, 0)), 255);
}

TEST_F(RestoreWindowTest, PreviewLeavesAnExistingPlainFileAlone) {
  const Bytes user{'m', 'i', 'n', 'e'};
  AddEntry("recovered1.JPG", EncodeJpeg(64, 48, false, 13));
  AddEntry("recovered2.JPG", Padded(EncodeJpeg(64, 48, false, 14), 1700000));
  AddEntry("recovered3.GIF", Bytes(600, 1));
  for (const char* name : {"recovered1.JPG", "recovered2.JPG", "recovered3.GIF"})
    WriteFile(dir / name, user);
  const auto before = Files();

  Select(0);
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
  Select(1);
  EXPECT_EQ(form->SB->currentMessage(), "Filesize to big or file could be damaged.");
  EXPECT_EQ(form->lblSize->text(), "1700000 Bytes");
  Select(2);
  EXPECT_EQ(form->SB->currentMessage(), "ERROR: Could not preview this file");
  for (const char* name : {"recovered1.JPG", "recovered2.JPG", "recovered3.GIF"})
    EXPECT_EQ(ReadBytes(dir / name), user) << name;
  EXPECT_EQ(Files(), before);
}

TEST_F(RestoreWindowTest, MissingStoredFileGoesToTheErrorReport) {
  AddEntry("photo.JPG", EncodeJpeg(64, 48, false, 15));
  Select(0);
  const QImage before = Picture();
  const QString size = form->lblSize->text();
  fs::remove(dir / "photo.JPG.rdf");

  Select(0);
  ASSERT_EQ(modal.messages.size(), 1u);
  EXPECT_EQ(modal.messages[0].icon, TMsgIcon::Error);
  EXPECT_EQ(form->SB->currentMessage(), "preparing thumbnail...");
  EXPECT_EQ(form->lblSize->text(), size);
  EXPECT_EQ(Picture(), before);
  EXPECT_TRUE(form->lstResults->isEnabled());
  EXPECT_TRUE(Files().empty());
}

TEST_F(RestoreWindowTest, RecoverAllAndPreviewInTheMiddleOfAScan) {
  FakeVolume& card = platform.AddVolume('E', 2000);
  const Bytes photo = EncodeJpeg(48, 32, false, 16);
  for (std::uint32_t sector : {0u, 500u, 1500u})
    std::copy(photo.begin(), photo.end(), card.data.begin() + sector * 512);
  form->cmdRefreshClick();
  form->ListBoxDrives->setCurrentRow(0);
  form->ListBoxDrivesClick();

  // At the first store, while the scan goes on: preview it, then recover all.
  bool ran = false;
  QObject::connect(form->lstResults->model(), &QAbstractItemModel::rowsInserted, form.get(), [&] {
    if (ran) return;
    ran = true;
    QMetaObject::invokeMethod(
        form.get(),
        [&] {
          EXPECT_TRUE(form->Scanning());
          Select(0);
          EXPECT_EQ(form->SB->currentMessage(), "Ready");
          form->cmdRecAll->click();
        },
        Qt::QueuedConnection);
  });
  form->ButtonStart->click();
  ASSERT_TRUE(ran);
  EXPECT_EQ(form->lstResults->count(), 3);
  // The first file was recovered mid-scan, with its carved span.
  const Bytes first = ReadBytes(dir / "recovered1.JPG");
  ASSERT_EQ(first.size(), 500u * 512);
  EXPECT_TRUE(std::equal(photo.begin(), photo.end(), first.begin()));
  EXPECT_TRUE(fs::exists(dir / "recovered3.JPG.rdf"));
  EXPECT_FALSE(fs::exists(dir / "recovered2.JPG"));
  EXPECT_TRUE(modal.messages.empty());
}

TEST(PreviewDrawSizeTest, LargestFitWithTheAspectKept) {
  const QSize area{193, 129};
  EXPECT_EQ(PreviewDrawSize({4000, 3000}, area), QSize(172, 129));  // wide, but height-bound
  EXPECT_EQ(PreviewDrawSize({300, 100}, area), QSize(193, 64));
  EXPECT_EQ(PreviewDrawSize({20, 10}, area), QSize(193, 96));  // scaled up
  EXPECT_EQ(PreviewDrawSize({100, 300}, area), QSize(43, 129));
  EXPECT_EQ(PreviewDrawSize({77, 77}, area), QSize(129, 129));
  EXPECT_EQ(PreviewDrawSize({3000, 2000}, area), QSize(193, 128));  // 128.67 truncated
  // A tall area: a square overflows the width and is bound by it.
  EXPECT_EQ(PreviewDrawSize({50, 50}, {100, 200}), QSize(100, 100));
  EXPECT_EQ(PreviewDrawSize({0, 10}, area), QSize(0, 0));
}

}  // namespace
