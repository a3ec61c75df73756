// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/spinedit.h"

#include <limits>
#include <utility>

#include <QApplication>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QResizeEvent>
#include <QToolButton>

// Width of the arrow column at the right edge.
constexpr int kButtonWidth = 15;
// Held arrows repeat like a held key: a pause, then a steady pace.
constexpr int kRepeatDelayMs = 400;
constexpr int kRepeatIntervalMs = 100;

static std::function<void()>& BeepHandlerSlot() {
  static std::function<void()> handler;
  return handler;
}

static QToolButton* MakeArrowButton(Qt::ArrowType arrow, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setArrowType(arrow);
  button->setIconSize(QSize(7, 7));
  // The text field is the one tab stop; clicking an arrow must not steal its focus.
  button->setFocusPolicy(Qt::NoFocus);
  button->setAutoRepeat(true);
  button->setAutoRepeatDelay(kRepeatDelayMs);
  button->setAutoRepeatInterval(kRepeatIntervalMs);
  return button;
}

TSpinEdit::TSpinEdit(QWidget* parent)
    : QWidget(parent),
      editor_(new QLineEdit(this)),
      upButton_(MakeArrowButton(Qt::UpArrow, this)),
      downButton_(MakeArrowButton(Qt::DownArrow, this)) {
  setFocusPolicy(Qt::StrongFocus);
  setFocusProxy(editor_);
  editor_->installEventFilter(this);

  connect(upButton_, &QToolButton::clicked, this, [this] { Step(1); });
  connect(downButton_, &QToolButton::clicked, this, [this] { Step(-1); });
  connect(editor_, &QLineEdit::textChanged, this, &TSpinEdit::Changed);

  resize(sizeHint());
}

TSpinEdit::~TSpinEdit() = default;

QAbstractButton* TSpinEdit::UpButton() const {
  return upButton_;
}
QAbstractButton* TSpinEdit::DownButton() const {
  return downButton_;
}

int TSpinEdit::Value() const {
  bool ok = false;
  const int value = editor_->text().trimmed().toInt(&ok, 10);
  return ok ? value : minValue_;
}

void TSpinEdit::SetValue(int value) {
  editor_->setText(QString::number(CheckValue(value)));
}

int TSpinEdit::CheckValue(int value) const {
  if (minValue_ == maxValue_) return value;
  if (value < minValue_) return minValue_;
  if (value > maxValue_) return maxValue_;
  return value;
}

void TSpinEdit::Step(int delta) {
  // Widen first so stepping past the int range saturates instead of wrapping.
  const long long next = static_cast<long long>(Value()) + delta;
  const long long lowest = std::numeric_limits<int>::min();
  const long long highest = std::numeric_limits<int>::max();
  SetValue(static_cast<int>(next < lowest ? lowest : next > highest ? highest : next));
}

void TSpinEdit::SetBeepHandler(std::function<void()> handler) {
  BeepHandlerSlot() = std::move(handler);
}

void TSpinEdit::Beep() {
  if (const auto& handler = BeepHandlerSlot()) {
    handler();
  } else {
    QApplication::beep();
  }
}

bool TSpinEdit::IsAcceptedText(const QString& text) {
  const QString decimalPoint = QLocale().decimalPoint();
  if (text == decimalPoint) return true;
  for (const QChar c : text) {
    const char16_t code = c.unicode();
    const bool control = code < 32 || code == 127;
    const bool digit = code >= u'0' && code <= u'9';
    if (!control && !digit && code != u'+' && code != u'-') return false;
  }
  return true;
}

bool TSpinEdit::HandleKey(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Up:
      Step(1);
      return true;
    case Qt::Key_Down:
      Step(-1);
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // Swallowed so it neither edits nor reaches a dialog's default button.
      Beep();
      return true;
    default:
      break;
  }
  // Ctrl+letter is an editing shortcut (select all, copy, paste), not typing;
  // the line edit never inserts text for it.
  if (event->modifiers() & Qt::ControlModifier) return false;
  if (IsAcceptedText(event->text())) return false;
  Beep();
  return true;
}

bool TSpinEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == editor_) {
    if (event->type() == QEvent::KeyPress) {
      return HandleKey(static_cast<QKeyEvent*>(event));
    }
    if (event->type() == QEvent::FocusOut) {
      // Out-of-range input is only pulled in when the user leaves the field;
      // an emptied field reads as the minimum, which is in range, so it stays empty.
      const int value = Value();
      if (CheckValue(value) != value) SetValue(CheckValue(value));
    }
  }
  return QWidget::eventFilter(watched, event);
}

QSize TSpinEdit::sizeHint() const {
  const QSize editorHint = editor_->sizeHint();
  const int digitsWidth = editor_->fontMetrics().horizontalAdvance(QStringLiteral("00000"));
  return QSize(digitsWidth + 12 + kButtonWidth, editorHint.height());
}

QSize TSpinEdit::minimumSizeHint() const {
  return QSize(kButtonWidth + 16, 16);
}

void TSpinEdit::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutChildren();
}

// Placed by hand rather than by a layout: a layout would impose the tool
// buttons' minimum height on a control the window sizes to 22 pixels.
void TSpinEdit::LayoutChildren() {
  const int w = width();
  const int h = height();
  const int buttonWidth = qMin(kButtonWidth, w);
  const int upHeight = h / 2;
  editor_->setGeometry(0, 0, w - buttonWidth, h);
  upButton_->setGeometry(w - buttonWidth, 0, buttonWidth, upHeight);
  downButton_->setGeometry(w - buttonWidth, upHeight, buttonWidth, h - upHeight);
}
