// SPDX-License-Identifier: GPL-3.0-or-later
// The Help tab: its page of notes, and the two requests to open the help file.
#include "ui/helptab.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <memory>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/tempdir.h"
#include "ui/listbox.h"
#include "ui/mainform.h"

namespace {

class HelpTabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDocumentOpener([this](const QString& path) { requests << path; });
    InitDiskAccess(platform);
    form = std::make_unique<TForm1>(platform);
    form->show();
    QApplication::setActiveWindow(form.get());
  }
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
    SetDocumentOpener({});
    QDir::setCurrent(oldCurrent);
  }

  QLabel* Text(const QString& text) {
    for (QLabel* label : form->TabSheet5->findChildren<QLabel*>())
      if (label->text() == text) return label;
    ADD_FAILURE() << "no text " << text.toStdString();
    return nullptr;
  }

  const QString oldCurrent = QDir::currentPath();
  FakePlatform platform;
  TRecordingModal modal;
  std::unique_ptr<TForm1> form;
  QStringList requests;
};

TEST_F(HelpTabTest, PanelTextsStylesAndPositions) {
  auto* panel = form->TabSheet5->findChild<QWidget*>("HelpPanel");
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(panel->geometry(), QRect(8, 11, 393, 238));
  EXPECT_EQ(panel->palette().color(QPalette::Window), QColor(Qt::white));

  QLabel* title = Text("Fernhollow  is a data recovery tool for digital images");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->pos(), QPoint(8, 8));
  EXPECT_TRUE(title->font().bold());
  EXPECT_TRUE(title->font().underline());

  QLabel* media = Text(
      "Flash Card (TM), SmartMedia (TM), SONY Memory Stick (TM), IBM(TM) Micro Drive, "
      "Multimedia Card and Secure Digital Card");
  ASSERT_NE(media, nullptr);
  EXPECT_EQ(media->geometry(), QRect(12, 60, 296, 26));
  EXPECT_TRUE(media->wordWrap());

  QLabel* requirements = Text("The system requirements are:");
  ASSERT_NE(requirements, nullptr);
  EXPECT_EQ(requirements->pos(), QPoint(8, 92));
  EXPECT_TRUE(requirements->font().bold());
  EXPECT_FALSE(requirements->font().underline());

  QLabel* step = Text("4. Recover the selected images");
  ASSERT_NE(step, nullptr);
  EXPECT_EQ(step->pos(), QPoint(8, 216));
  EXPECT_FALSE(step->font().bold());
  int bullets = 0;
  for (QLabel* label : panel->findChildren<QLabel*>()) bullets += label->text() == QChar(0x2022);
  EXPECT_EQ(bullets, 2);
  // Every text stays inside the panel.
  for (QLabel* label : panel->findChildren<QLabel*>())
    EXPECT_TRUE(panel->rect().contains(label->geometry())) << label->text().toStdString();
}

// How much ink a label puts on the panel.
qint64 Ink(QLabel& label) {
  const QImage image = label.grab().toImage().convertToFormat(QImage::Format_Grayscale8);
  qint64 ink = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) ink += 255 - image.constScanLine(y)[x];
  return ink;
}

TEST_F(HelpTabTest, HeadingsAreDrawnInTheBoldFace) {
  // fonts-wine's Tahoma Bold comes with the regular outlines: drawn from them,
  // a heading came out as thin as the plain text, only wider spaced.
  form->PageControl->setCurrentWidget(form->TabSheet5);
  for (const char* heading : {"The system requirements are:", "How to use Fernhollow (tm):"}) {
    QLabel* bold = Text(heading);
    ASSERT_NE(bold, nullptr);
    QLabel plain(heading, bold->parentWidget());
    plain.setPalette(bold->palette());
    plain.adjustSize();
    EXPECT_GT(Ink(*bold) * 10, Ink(plain) * 13) << heading;
  }
}

TEST_F(HelpTabTest, GoingToHelpShowsThenEntersWithBothPaths) {
  TTempDir elsewhere;
  QDir::setCurrent(QString::fromStdString(elsewhere.Path().string()));
  EXPECT_TRUE(requests.isEmpty());

  form->PageControl->setCurrentWidget(form->TabSheet2);
  form->EditDestPath->setFocus();
  ASSERT_TRUE(form->EditDestPath->hasFocus());
  // Through the tab bar, as a click on the tab does.
  form->PageControl->tabBar()->setCurrentIndex(4);

  ASSERT_EQ(requests.size(), 2);
  EXPECT_EQ(requests[0], QApplication::applicationDirPath() + "/FHL.hlp");
  EXPECT_EQ(requests[1], QString::fromStdString(elsewhere.Path().string()) + "/FHL.HLP");
  // No help file anywhere: nothing is reported.
  EXPECT_TRUE(modal.messages.empty());

  // Leaving and coming back asks again.
  form->PageControl->setCurrentWidget(form->TabSheet4);
  form->lstResults->setFocus();
  form->PageControl->setCurrentWidget(form->TabSheet5);
  EXPECT_EQ(requests.size(), 4);
}

TEST_F(HelpTabTest, FocusThatStaysOnTheTabsOnlyShows) {
  form->PageControl->tabBar()->setFocus();
  ASSERT_TRUE(form->PageControl->tabBar()->hasFocus());
  form->PageControl->setCurrentWidget(form->TabSheet5);
  ASSERT_EQ(requests.size(), 1);
  EXPECT_TRUE(requests[0].endsWith("/FHL.hlp"));

  // The window losing and getting back the focus is no new visit.
  form->TabSheet5->setFocus(Qt::ActiveWindowFocusReason);
  EXPECT_EQ(requests.size(), 1);
  form->TabSheet5->clearFocus();
  form->TabSheet5->setFocus(Qt::OtherFocusReason);
  EXPECT_EQ(requests.size(), 2);
}

}  // namespace
