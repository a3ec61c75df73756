// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/scanhost.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include "ui/animate.h"
#include "ui/foundfiles.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/modal.h"
#include "ui/spinedit.h"

namespace {

// Reading the clock costs more than the rest of a sector's work; look at it
// only every so many sectors (a fraction of a millisecond at any medium's speed).
constexpr std::uint32_t kSectorsPerClockCheck = 64;

QString Number(std::int64_t value) {
  return QString::number(value);
}

}  // namespace

TWindowScanHost::TWindowScanHost(TForm1& form)
    : form_(form), clock_(form.Clock), lastRepaint_(clock_()), start_(lastRepaint_) {}

template <class Box>
auto TWindowScanHost::Waiting(Box&& box) {
  const Clock::time_point asked = clock_();
  const auto answer = box();
  const Clock::time_point answered = clock_();
  waited_ += answered - asked;
  lastRepaint_ = answered;
  return answer;
}

double TWindowScanHost::ReadingSeconds(Clock::time_point now) const {
  return std::chrono::duration<double>(now - start_ - waited_).count();
}

std::uint8_t TWindowScanHost::DriveNumber() {
  return form_.DriveNumber;
}
const TDriveGeometry& TWindowScanHost::DriveGeometry() {
  return form_.DriveGeometry;
}
std::string TWindowScanHost::FilenamePrefix() {
  return form_.EditFilenamePrefix->text().toStdString();
}
int TWindowScanHost::RetryCount() {
  return form_.SpinEditRetryCount->Value();
}
int TWindowScanHost::SectorsAtOnce() {
  return form_.SpinEditSecAtOnce->Value();
}
std::string TWindowScanHost::DestinationText() {
  return form_.EditDestPath->text().toStdString();
}
const TSearchTypes& TWindowScanHost::SearchTypes() {
  return form_.SearchTypes;
}
bool TWindowScanHost::CheckFiles() {
  return form_.CheckFiles;
}
bool TWindowScanHost::CancelRequested() {
  return form_.CancelRequested;
}
void TWindowScanHost::ClearCancelRequest() {
  form_.CancelRequested = false;
}
TZlibTool& TWindowScanHost::Compressor() {
  return form_.ZLIB;
}

void TWindowScanHost::SearchStarting() {
  form_.SB->showMessage(QStringLiteral("Searching for images..."));
  // Mend: the last search's stored files stayed behind, unlisted, for good.
  // They go now that this search surely runs (the user was asked at Start).
  DropFoundFiles(*form_.lstResults);
  form_.cmdRecSel->setEnabled(false);
  form_.cmdRecAll->setEnabled(false);
  form_.ShowSearchEnd({});
}

void TWindowScanHost::ScanningStarted() {
  // Cancel takes the focus before Start goes off, or the focus would wander off.
  form_.ButtonCancel->setEnabled(true);
  form_.ButtonCancel->setFocus(Qt::OtherFocusReason);
  form_.ButtonStart->setEnabled(false);
  form_.ListBoxDrives->setEnabled(false);
  form_.LabelReadErrors->setText(QStringLiteral("0"));
  form_.LabelStatus->setText(QStringLiteral("busy"));
  form_.Animate1->show();
  form_.Animate1->Play();
  start_ = clock_();
  waited_ = {};
}

void TWindowScanHost::Pump() {
  // The scan pumps at every failed read. Those pumps must not hold back the
  // repaint, or the display stands still for as long as reads keep failing.
  if (clock_() - lastRepaint_ >= kPumpInterval) {
    Repaint();
    return;
  }
  QCoreApplication::processEvents();
}

void TWindowScanHost::Repaint() {
  ++repaints_;
  form_.LabelCurrentSector->setText(Number(sector_));
  form_.ProgressBar->setValue(ProgressPosition(sector_, totalSectors_));
  form_.LabelImagesFound->setText(Number(found_));
  const Clock::time_point now = clock_();
  QString total = QStringLiteral("of ") + Number(totalSectors_);
  if (const auto left = SecondsLeft(sector_, totalSectors_, ReadingSeconds(now))) {
    total += QStringLiteral("   Time left: ") + QString::fromStdString(ClockText(*left));
  }
  form_.ShowTimeLeft(total);
  QCoreApplication::processEvents();
  lastRepaint_ = clock_();
  sinceClockCheck_ = 0;
}

void TWindowScanHost::SectorReached(std::uint32_t sector, std::uint32_t totalSectors) {
  sector_ = sector;
  totalSectors_ = totalSectors;
  const bool edge = sector == 0 || sector + 1 == totalSectors || repaintDue_;
  repaintDue_ = false;
  if (!edge && ++sinceClockCheck_ < kSectorsPerClockCheck) return;
  sinceClockCheck_ = 0;
  if (edge || clock_() - lastRepaint_ >= kPumpInterval) Repaint();
}

void TWindowScanHost::ReadingSector(std::uint32_t sector) {
  // A single-sector read takes far longer than a clock check.
  sector_ = sector;
  if (clock_() - lastRepaint_ >= kPumpInterval) Repaint();
}

void TWindowScanHost::FoundCountChanged(std::int32_t found) {
  found_ = found;
}

void TWindowScanHost::ReadErrorsChanged(std::int32_t errors) {
  form_.LabelReadErrors->setText(Number(errors));
}

bool TWindowScanHost::ConfirmOverwrite(const std::string& text) {
  return Waiting([&] { return AskConfirmation(&form_, QString::fromStdString(text), kJa); });
}

void TWindowScanHost::Warn(const std::string& text) {
  Waiting([&] {
    ShowWarning(&form_, QString::fromStdString(text));
    return true;
  });
}

void TWindowScanHost::FileStored(const std::string& storedName, const std::string& storedPath) {
  ListFoundFile(*form_.lstResults, QString::fromStdString(storedName),
                QString::fromStdString(storedPath));
  form_.cmdRecAll->setEnabled(true);
  // Shown at the next sector: pumping here, inside the store, would let a
  // recover write the plain file that the store is about to delete.
  repaintDue_ = true;
}

void TWindowScanHost::ScanningEnded() {
  if (totalSectors_ != 0) form_.LabelImagesFound->setText(Number(found_));
  form_.LabelStatus->setText(QStringLiteral("ready"));
  form_.Animate1->Stop();
  form_.Animate1->hide();
  form_.ButtonStart->setEnabled(true);
  form_.ListBoxDrives->setEnabled(true);
  // Back to Start, unless the user has taken the focus elsewhere meanwhile.
  const QWidget* focus = form_.focusWidget();
  if (focus == nullptr || focus == form_.ButtonCancel || !focus->isVisible()) {
    form_.ButtonStart->setFocus(Qt::OtherFocusReason);
  }
  form_.ButtonCancel->setEnabled(false);
  form_.ProgressBar->setValue(0);
  form_.LabelCurrentSector->clear();
  form_.ShowTimeLeft({});
}

void TWindowScanHost::SearchEnded(const TScanOutcome& outcome) {
  const double seconds = std::chrono::duration<double>(clock_() - start_).count();
  form_.ShowSearchEnd(QString::fromStdString(ScanEndText(outcome, seconds)));
  form_.SB->showMessage(QStringLiteral("Ready"));
}
