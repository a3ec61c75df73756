// A list box that tells a selection by the user (mouse or keyboard) apart
// from the program's own changes, since only the user's runs a handler.
#pragma once

#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>

// Both of the window's lists show their entries at this height.
inline constexpr int kListItemHeight = 13;

class TListBox : public QListWidget {
  Q_OBJECT

 public:
  using QListWidget::QListWidget;

 signals:
  void UserSelected();

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    QListWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && itemAt(event->position().toPoint()) != nullptr &&
        currentRow() >= 0) {
      emit UserSelected();
    }
  }
  void keyPressEvent(QKeyEvent* event) override {
    const int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0) emit UserSelected();
  }
};
