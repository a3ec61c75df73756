// SPDX-License-Identifier: GPL-3.0-or-later
// A small integer field with up/down arrows. The value lives in the text
// itself: whatever the user has typed is the value, and text that is not a
// whole number reads as the minimum. Bounds are applied when a value is
// written and when the field is left, never while typing.
#pragma once

#include <functional>

#include <QWidget>

class QAbstractButton;
class QKeyEvent;
class QLineEdit;
class QToolButton;

class TSpinEdit : public QWidget {
  Q_OBJECT

 public:
  explicit TSpinEdit(QWidget* parent = nullptr);
  ~TSpinEdit() override;

  int MinValue() const { return minValue_; }
  int MaxValue() const { return maxValue_; }
  // Only store the bound; the text is left as it is.
  void SetMinValue(int value) { minValue_ = value; }
  void SetMaxValue(int value) { maxValue_ = value; }

  // The text as a decimal integer, or MinValue() when it is not one.
  int Value() const;
  // Writes the value pulled into [MinValue, MaxValue]; with equal bounds the
  // value is written unchanged.
  void SetValue(int value);

  QLineEdit* Editor() const { return editor_; }
  QAbstractButton* UpButton() const;
  QAbstractButton* DownButton() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Every refused key goes through this; an empty handler restores
  // QApplication::beep().
  static void SetBeepHandler(std::function<void()> handler);

 signals:
  void Changed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int CheckValue(int value) const;
  void Step(int delta);
  void LayoutChildren();
  bool HandleKey(QKeyEvent* event);
  static bool IsAcceptedText(const QString& text);
  static void Beep();

  QLineEdit* editor_;
  QToolButton* upButton_;
  QToolButton* downButton_;
  int minValue_ = 0;
  int maxValue_ = 0;
};
