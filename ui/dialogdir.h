// SPDX-License-Identifier: GPL-3.0-or-later
// The folder chooser behind the destination path's "..." button. Created
// hidden at start-up and kept, so its tree remembers the last selection.
#pragma once

#include <QDialog>
#include <QFileIconProvider>
#include <QString>

class QFileSystemModel;
class QPushButton;
class QTreeView;

class TDialogSelectDir : public QDialog {
  Q_OBJECT

 public:
  explicit TDialogSelectDir(QWidget* parent = nullptr);

  // Shows the chooser modally. True unless cancelled; SelectedPath then holds
  // the chosen folder without a trailing "/" ("/" itself keeps its one), or
  // the empty text when no folder is selected.
  bool Execute();
  QString SelectedPath;

  // Opens the tree down to a folder and selects it.
  void SelectFolder(const QString& path);
  bool Watching() const;

  QTreeView* ShellTreeView1 = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QFileSystemModel* model_ = nullptr;
  QFileIconProvider icons_;  // the style's folder icons where no icon theme is set
};
