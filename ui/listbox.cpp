// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/listbox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <utility>

TListBox::TListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  // Only changes made while one of the user's events is handled count; the
  // program's own (refill, clear, setCurrentRow) pass unseen.
  connect(this, &QListWidget::itemSelectionChanged, this, [this] {
    if (userInput_) changed_ = true;
  });
}

QListWidgetItem* TListBox::SelectedItem() const {
  const QList<QListWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? nullptr : selected.front();
}

QItemSelectionModel::SelectionFlags TListBox::selectionCommand(const QModelIndex& index,
                                                               const QEvent* event) const {
  // Mend: a click on the blank area cleared the highlight while the window
  // went on with the entry chosen before; now it keeps the selection.
  if (!index.isValid()) return QItemSelectionModel::NoUpdate;
  QItemSelectionModel::SelectionFlags flags = QListWidget::selectionCommand(index, event);
  // Mend: Ctrl+click and Ctrl+Space deselected the entry yet ran its handler;
  // they select it like a plain click.
  if (flags & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle)) {
    flags &= ~(QItemSelectionModel::Deselect | QItemSelectionModel::Toggle);
    flags |= QItemSelectionModel::ClearAndSelect;
  }
  return flags;
}

template <class Handling>
bool TListBox::ByUser(Handling&& handling) {
  changed_ = false;
  userInput_ = true;
  std::forward<Handling>(handling)();
  userInput_ = false;
  return std::exchange(changed_, false) && SelectedItem() != nullptr;
}

void TListBox::FinishDrag() {
  if (std::exchange(dragChanged_, false) && SelectedItem() != nullptr) emit UserSelected();
}

void TListBox::mousePressEvent(QMouseEvent* event) {
  FinishDrag();
  const bool changed = ByUser([&] { QListWidget::mousePressEvent(event); });
  // A click on the selected entry runs its handler again, as a click on any
  // entry always did: the drive is read anew, the preview shown again.
  const QListWidgetItem* under = itemAt(event->position().toPoint());
  const bool again = event->button() == Qt::LeftButton && under != nullptr && under->isSelected();
  if (changed || again) emit UserSelected();
}

void TListBox::mouseMoveEvent(QMouseEvent* event) {
  // Mend: dragging from one entry to another moved the highlight but not the
  // drive or the preview. The handler runs once, for the entry the drag ends
  // on, so no box or preview comes up while the button is still held.
  if (ByUser([&] { QListWidget::mouseMoveEvent(event); })) dragChanged_ = true;
}

void TListBox::mouseReleaseEvent(QMouseEvent* event) {
  const bool changed = ByUser([&] { QListWidget::mouseReleaseEvent(event); });
  if (changed) dragChanged_ = true;
  FinishDrag();
}

namespace {

bool MovesTheCursor(int key) {
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      return true;
    default:
      return false;
  }
}

}  // namespace

void TListBox::keyPressEvent(QKeyEvent* event) {
  FinishDrag();
  const bool changed = ByUser([&] {
    QListWidget::keyPressEvent(event);
    // Mend: after Tab brought the focus in, the first entry was current but
    // not selected, and Home there moved nothing; a move key selects the
    // entry it lands on.
    QListWidgetItem* current = currentItem();
    if (MovesTheCursor(event->key()) && current != nullptr && !current->isSelected()) {
      setCurrentItem(current);
    }
  });
  if (changed) emit UserSelected();
}

void TListBox::inputMethodEvent(QInputMethodEvent* event) {
  // Letters composed by an input method search the list like typed ones.
  if (ByUser([&] { QListWidget::inputMethodEvent(event); })) emit UserSelected();
}
