// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/statusbar.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyleOption>
#include <QToolTip>

QRect TStatusBar::TextArea() const {
  // In from the left by one line height, where QStatusBar itself starts its
  // text; 12 pixels short of the right edge, as far as it repaints when the
  // text changes.
  return rect().adjusted(fontMetrics().height(), 0, -12, 0);
}

QString TStatusBar::ShownText() const {
  return fontMetrics().elidedText(currentMessage(), Qt::ElideMiddle, TextArea().width());
}

void TStatusBar::paintEvent(QPaintEvent* event) {
  if (currentMessage().isEmpty()) {
    QStatusBar::paintEvent(event);
    return;
  }
  // Mend: a long text was cut at the bar's right edge, mid-word.
  QPainter painter(this);
  QStyleOption option;
  option.initFrom(this);
  style()->drawPrimitive(QStyle::PE_PanelStatusBar, &option, &painter, this);
  painter.setPen(palette().windowText().color());
  painter.drawText(TextArea(), Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                   ShownText());
}

bool TStatusBar::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    if (ShownText() != currentMessage()) {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), currentMessage(), this);
    } else {
      QToolTip::hideText();
    }
    return true;
  }
  return QStatusBar::event(event);
}
