// SPDX-License-Identifier: GPL-3.0-or-later
// The Search tab's time left and the line that says how a search ended, over
// a fake card whose reads take time by a clock the test moves.
#include <gtest/gtest.h>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "tests/support/fakeplatform.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/tempdir.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/scanhost.h"
#include "ui/spinedit.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Answers boxes as the recording hook does, after the user has taken their time.
class TSlowAnswers : public TRecordingModal {
 public:
  int Message(QWidget* parent, const TMessageRequest& request) override {
    if (whileShown) whileShown();
    const int answer = TRecordingModal::Message(parent, request);
    // Each new search drops the last one's files, and may make its folder.
    return request.buttons.contains(QStringLiteral("&Ja")) ? kJa : answer;
  }
  std::function<void()> whileShown;
};

// "... Time left: 4:05" or "... Time left: 1:02:03" in seconds; none without.
std::optional<int> TimeLeftShown(const QString& text) {
  const int at = text.indexOf(QStringLiteral("Time left: "));
  if (at < 0) return std::nullopt;
  int seconds = 0;
  for (const QString& part : text.mid(at + 11).split(QLatin1Char(':'))) {
    seconds = seconds * 60 + part.toInt();
  }
  return seconds;
}

class SearchProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeVolume& card = platform.AddVolume('E', kSectors);
    for (std::uint32_t s : {0u, 700u, 2100u}) {
      const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE0};
      std::copy(std::begin(header), std::end(header), card.data.begin() + s * 512);
    }
    InitDiskAccess(platform);
    form = std::make_unique<TForm1>(platform);
    form->Clock = [this] { return now; };
    form->ListBoxDrives->setCurrentRow(0);
    form->ListBoxDrivesClick();  // 30 sectors at once
    form->EditDestPath->setText(QString::fromStdString(dir.string()));
  }
  void TearDown() override {
    form.reset();
    DoneDiskAccess();
  }

  // A search to its end; every read first takes readTime, then runs andThen.
  void Search(std::chrono::milliseconds readTime, const std::function<void()>& andThen = {}) {
    platform.reads.clear();
    platform.onRead = [this, readTime, andThen] {
      if (platform.reads.empty()) endLineAtFirstRead = form->LabelSearchEnd->text();
      now += readTime;
      if (andThen) andThen();
    };
    form->ButtonStart->click();
    platform.onRead = nullptr;
  }

  static constexpr std::uint32_t kSectors = 3000;
  TTempDir scratch;
  const fs::path dir = scratch.Path();
  FakePlatform platform;
  TSlowAnswers modal;
  std::chrono::steady_clock::time_point now{};
  std::unique_ptr<TForm1> form;
  QString endLineAtFirstRead;
};

TEST_F(SearchProgressTest, TimeLeftComesAfterAFewSecondsAndFollowsTheAverageSpeed) {
  // A sector at a time, 20 ms each: a minute for the card.
  form->SpinEditSecAtOnce->SetValue(1);
  struct TSeen {
    std::uint32_t sector;
    QString timeLeft;
  };
  std::vector<TSeen> seen;  // what the window showed as each read began
  Search(20ms, [&] {
    if (!form->LabelCurrentSector->text().isEmpty()) {
      seen.push_back({form->LabelCurrentSector->text().toUInt(), form->LabelTimeLeft->text()});
    }
  });

  ASSERT_FALSE(seen.empty());
  int early = 0;
  int estimates = 0;
  std::set<int> different;
  for (const TSeen& s : seen) {
    // Painted when sector s was reached, s + 1 reads into the search.
    const double elapsed = (s.sector + 1) * 0.02;
    const double left = (kSectors - s.sector - 1) * 0.02;
    ASSERT_TRUE(s.timeLeft.startsWith(QStringLiteral("of 3000"))) << s.timeLeft.toStdString();
    const std::optional<int> shown = TimeLeftShown(s.timeLeft);
    if (elapsed < 3) {
      EXPECT_EQ(s.timeLeft, "of 3000") << s.sector;
      early += s.sector != 0;
      continue;
    }
    ASSERT_TRUE(shown) << s.sector << ": " << s.timeLeft.toStdString();
    // The first reads' share of the average fades: within 2 s and 5 %.
    EXPECT_NEAR(*shown, left, 2 + 0.05 * left) << s.sector << ": " << s.timeLeft.toStdString();
    ++estimates;
    different.insert(*shown);
  }
  // Painted on the window's throttle, never once per sector, yet kept current.
  std::set<std::uint32_t> painted;
  for (const TSeen& s : seen) painted.insert(s.sector);
  EXPECT_LT(painted.size(), seen.size() / 10);
  EXPECT_GT(early, 0);
  EXPECT_GE(estimates, 20);
  EXPECT_GE(different.size(), 20u);

  EXPECT_TRUE(form->LabelTimeLeft->text().isEmpty());
  EXPECT_EQ(form->LabelSearchEnd->text(), "Finished: 3 files in 0:01:00");
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
}

TEST_F(SearchProgressTest, TimeSpentAnsweringABoxIsNotReadingTime) {
  TWindowScanHost host(*form);
  host.ScanningStarted();
  now += 10s;
  host.SectorReached(0, 1000);
  EXPECT_EQ(form->LabelTimeLeft->text(), "of 1000");
  // The user leaves a box open for ten minutes.
  modal.whileShown = [this] { now += 600s; };
  host.Warn("Could not write to destination file: x!");
  now += 10s;
  host.SectorReached(500, 1000);
  host.Pump();  // repaints, the box's time long past
  // Half the card in 20 s of reading: 20 s to go, not ten minutes.
  EXPECT_EQ(form->LabelCurrentSector->text(), "500");
  EXPECT_EQ(form->LabelTimeLeft->text(), "of 1000   Time left: 0:20");
  host.ScanningEnded();
  EXPECT_TRUE(form->LabelTimeLeft->text().isEmpty());
}

TEST_F(SearchProgressTest, TheEndLineSaysHowEachSearchEndedAndANewStartClearsIt) {
  // 30 sectors a read, a second each.
  Search(1000ms);
  EXPECT_EQ(form->LabelSearchEnd->text(), "Finished: 3 files in 0:01:40");
  EXPECT_EQ(form->SB->currentMessage(), "Ready");

  // Cancel while sectors 1500 to 1529 are read: that run is carved first.
  Search(1000ms, [this] {
    if (platform.reads.size() == 50) form->ButtonCancel->click();
  });
  EXPECT_TRUE(endLineAtFirstRead.isEmpty());
  EXPECT_EQ(form->LabelSearchEnd->text(), "Cancelled at sector 1530 of 3000: 2 files");
  EXPECT_EQ(form->SB->currentMessage(), "Ready");

  // The card taken out at sector 1500.
  Search(1000ms, [this] {
    if (platform.reads.size() == 50) platform.deviceGone = true;
  });
  platform.deviceGone = false;
  EXPECT_TRUE(endLineAtFirstRead.isEmpty());
  EXPECT_EQ(form->LabelSearchEnd->text(), "Stopped: the drive can no longer be read: 2 files");
  EXPECT_EQ(form->SB->currentMessage(), "Ready");

  // A destination that goes away once the search has begun: the first
  // photo's file cannot be made.
  const fs::path going = dir / "going";
  form->EditDestPath->setText(QString::fromStdString(going.string()));
  Search(1000ms, [&going] { fs::remove_all(going); });
  EXPECT_TRUE(endLineAtFirstRead.isEmpty());
  EXPECT_EQ(form->LabelSearchEnd->text(), "Stopped: the destination cannot be written: 0 files");
  EXPECT_EQ(form->SB->currentMessage(), "Ready");
  EXPECT_TRUE(form->LabelTimeLeft->text().isEmpty());

  // A Start refused before the search begins keeps the last search's line.
  form->EditDestPath->clear();
  form->ButtonStart->click();
  EXPECT_EQ(form->LabelSearchEnd->text(), "Stopped: the destination cannot be written: 0 files");
}

TEST_F(SearchProgressTest, TheLinesFitTheSearchTabWithTheLargestNumbers) {
  form->show();
  const QWidget* frame = form->LabelSearchEnd->parentWidget();
  const QRect inside = frame->contentsRect();
  const auto clear = [&](const QWidget* widget) {
    EXPECT_TRUE(inside.contains(widget->geometry())) << widget->objectName().toStdString();
    for (const QWidget* button : {form->ButtonStart, form->ButtonCancel}) {
      EXPECT_FALSE(widget->geometry().intersects(button->geometry()))
          << widget->objectName().toStdString();
    }
  };

  // The largest sector numbers, a search of over an hour.
  form->LabelCurrentSector->setText("4294967294");
  const QString timeLeft = "of 4294967295   Time left: 9:59:59";
  form->ShowTimeLeft(timeLeft);
  EXPECT_EQ(form->LabelTimeLeft->text(), timeLeft);
  clear(form->LabelTimeLeft);
  // Right after the sector's number, clear of it.
  const QFontMetrics metrics = form->LabelCurrentSector->fontMetrics();
  EXPECT_GE(form->LabelTimeLeft->x(),
            form->LabelCurrentSector->x() + metrics.horizontalAdvance("4294967294"));
  EXPECT_GE(form->LabelTimeLeft->width(), metrics.horizontalAdvance(timeLeft));

  for (const QString& line :
       {QStringLiteral("Cancelled at sector 4294967294 of 4294967295: 999999 files"),
        QStringLiteral("Stopped: the destination cannot be written: 999999 files"),
        QStringLiteral("Stopped: the drive can no longer be read: 999999 files"),
        QStringLiteral("Finished: 999999 files in 99:59:59")}) {
    form->ShowSearchEnd(line);
    EXPECT_EQ(form->LabelSearchEnd->text(), line);
    EXPECT_TRUE(form->LabelSearchEnd->toolTip().isEmpty());
    EXPECT_GE(form->LabelSearchEnd->width(),
              form->LabelSearchEnd->fontMetrics().horizontalAdvance(line));
  }
  clear(form->LabelSearchEnd);

  // Whatever does not fit keeps both ends and is whole in its tooltip.
  const QString longer = "Cancelled at sector " + QString(80, QLatin1Char('9')) + ": 5 files";
  form->ShowSearchEnd(longer);
  EXPECT_NE(form->LabelSearchEnd->text(), longer);
  EXPECT_TRUE(form->LabelSearchEnd->text().endsWith("5 files"));
  EXPECT_EQ(form->LabelSearchEnd->toolTip(), longer);
  form->ShowSearchEnd("Finished: 1 file in 0:00:01");
  EXPECT_TRUE(form->LabelSearchEnd->toolTip().isEmpty());
}

}  // namespace
