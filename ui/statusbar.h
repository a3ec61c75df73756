// SPDX-License-Identifier: GPL-3.0-or-later
// The window's status bar: one text, shortened in the middle where it is too
// long for the bar (a long destination path keeps both its start and its end),
// whole in its tooltip. currentMessage() always holds the whole text.
#pragma once

#include <QStatusBar>

class TStatusBar : public QStatusBar {
  Q_OBJECT

 public:
  using QStatusBar::QStatusBar;

  // The text as drawn.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  QRect TextArea() const;
};
