// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/elidedlabel.h"

#include <QEvent>

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
}

void TElidedLabel::SetFullText(const QString& text) {
  full_ = text;
  Elide();
}

void TElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Elide();
}

void TElidedLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) Elide();
}

void TElidedLabel::Elide() {
  const QString shown = fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width());
  if (shown != text()) setText(shown);
  setToolTip(shown == full_ ? QString() : full_);
}
