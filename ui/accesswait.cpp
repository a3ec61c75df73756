// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/accesswait.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "ui/modal.h"

namespace {

bool IsUserInput(const QEvent& event) {
  switch (event.type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
      return true;
    case QEvent::Close:
      return event.spontaneous();  // the window manager's close button
    default:
      return false;
  }
}

// While it lives, input to every window but the waiting box is dropped. A
// click on the window must not start anything while the program is inside a
// drive pick or a scan's read; holding it for later would replay it against
// a window that has changed meanwhile.
class TInputDrop : public QObject {
 public:
  TInputDrop() { QCoreApplication::instance()->installEventFilter(this); }
  ~TInputDrop() override { QCoreApplication::instance()->removeEventFilter(this); }
  TInputDrop(const TInputDrop&) = delete;
  TInputDrop& operator=(const TInputDrop&) = delete;

  void Keep(QDialog* box) { box_ = box; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    return IsUserInput(*event) && !InBox(watched);
  }

 private:
  bool InBox(QObject* watched) const {
    if (box_ == nullptr) return false;
    if (watched->isWidgetType()) return static_cast<QWidget*>(watched)->window() == box_;
    if (watched->isWindowType()) return static_cast<QWindow*>(watched) == box_->windowHandle();
    return false;
  }

  QPointer<QDialog> box_;
};

}  // namespace

void TAccessWait::Finish() {
  finished_ = true;
  Stop();
}

void TAccessWait::Stop() {
  if (loop_ != nullptr) loop_->quit();
  if (box_ != nullptr) box_->done(finished_ ? QDialog::Accepted : QDialog::Rejected);
}

TAccessWait::TEnd TAccessWait::Run() {
  const auto end = [this] {
    return finished_ ? TEnd::Finished : timedOut_ ? TEnd::TimedOut : TEnd::Cancelled;
  };
  if (finished_) return end();
  TInputDrop drop;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [this] {
    timedOut_ = true;
    Stop();
  });
  if (limit_ >= 0) limit.start(limit_);

  // A remembered grant answers at once: no box flashes up for it.
  {
    QEventLoop loop;
    loop_ = &loop;
    QTimer boxDue;
    boxDue.setSingleShot(true);
    QObject::connect(&boxDue, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!boxText_.isEmpty()) boxDue.start(boxDelay_);
    loop.exec();
    loop_ = nullptr;
  }
  if (finished_ || timedOut_ || boxText_.isEmpty()) return end();
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    // No windows in this program (a console helper): nothing to cancel with.
    QEventLoop loop;
    loop_ = &loop;
    loop.exec();
    loop_ = nullptr;
    return end();
  }

  QDialog box(QApplication::activeWindow());
  box.setWindowTitle(QApplication::applicationName());
  auto* layout = new QVBoxLayout(&box);
  auto* label = new QLabel(boxText_, &box);
  label->setObjectName(QStringLiteral("LabelWaiting"));
  label->setWordWrap(true);
  layout->addWidget(label);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, &box);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
  layout->addWidget(buttons);
  box_ = &box;
  drop.Keep(&box);
  Modal().Dialog(box);
  box_ = nullptr;
  return end();
}
