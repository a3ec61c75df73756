// SPDX-License-Identifier: GPL-3.0-or-later
// A list box that tells a change of selection by the user (mouse, keyboard,
// typed letters) apart from the program's own changes, since only the user's
// runs a handler. The user can move the selection but never clear it, so the
// highlighted entry is always the one the window works with.
#pragma once

#include <QListWidget>

class QInputMethodEvent;
class QKeyEvent;
class QMouseEvent;

// Both of the window's lists show their entries at this height.
inline constexpr int kListItemHeight = 13;

class TListBox : public QListWidget {
  Q_OBJECT

 public:
  explicit TListBox(QWidget* parent = nullptr);

  // The highlighted entry, or nullptr: the one the handlers work on.
  QListWidgetItem* SelectedItem() const;

 signals:
  // The user selected an entry, or clicked the selected one again.
  void UserSelected();

 protected:
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;

 private:
  // Runs the toolkit's handling of one input event; true when it changed the
  // selection.
  template <class Handling>
  bool ByUser(Handling&& handling);
  // A drag whose release never came still runs the handler, at the next input.
  void FinishDrag();

  bool userInput_ = false;
  bool changed_ = false;
  bool dragChanged_ = false;  // the selection followed the mouse; runs at release
};
