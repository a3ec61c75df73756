// SPDX-License-Identifier: GPL-3.0-or-later
// A one-line label of fixed size whose text, where too long for it, loses its
// end to an ellipsis rather than widening anything; the whole text is then in
// its tooltip.
#pragma once

#include <QLabel>
#include <QString>

class TElidedLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TElidedLabel(QWidget* parent = nullptr);

  // Use these rather than QLabel's setText and text().
  void SetFullText(const QString& text);
  const QString& FullText() const { return full_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Elide();

  QString full_;
};
