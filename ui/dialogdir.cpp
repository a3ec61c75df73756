// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogdir.h"

#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeView>

#include "ui/modal.h"
#include "ui/startup.h"

TDialogSelectDir::TDialogSelectDir(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("DialogSelectDir");
  setWindowTitle(QStringLiteral("Choose directory..."));
  setFixedSize(330, 280);

  auto* label = new QLabel(QStringLiteral("Directory:"), this);
  label->move(12, 12);
  label->adjustSize();

  model_ = new QFileSystemModel(this);
  model_->setIconProvider(&icons_);
  model_->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  // Watching the folders starts only when the chooser is first shown.
  model_->setOption(QFileSystemModel::DontWatchForChanges, true);
  model_->setRootPath(QDir::rootPath());

  ShellTreeView1 = new QTreeView(this);
  ShellTreeView1->setObjectName("ShellTreeView1");
  ShellTreeView1->setGeometry(8, 28, 313, 197);
  ShellTreeView1->setModel(model_);
  ShellTreeView1->setHeaderHidden(true);
  for (int column = 1; column < model_->columnCount(); ++column) {
    ShellTreeView1->hideColumn(column);
  }
  ShellTreeView1->setRootIsDecorated(false);
  ShellTreeView1->setIndentation(19);
  ShellTreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ShellTreeView1->viewport()->installEventFilter(this);
  // The root is shown without a button of its own, so it stands open.
  ShellTreeView1->expand(model_->index(QDir::rootPath()));
  SelectFolder(QDir::homePath());

  OKBtn = new QPushButton(QStringLiteral("OK"), this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setGeometry(83, 240, 75, 25);
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
  CancelBtn->setObjectName("CancelBtn");
  CancelBtn->setGeometry(163, 240, 75, 25);
  CancelBtn->setAutoDefault(false);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TDialogSelectDir::SelectFolder(const QString& path) {
  const QModelIndex index = model_->index(path);
  if (!index.isValid()) return;
  for (QModelIndex parent = index.parent(); parent.isValid(); parent = parent.parent()) {
    ShellTreeView1->expand(parent);
  }
  ShellTreeView1->setCurrentIndex(index);
  ShellTreeView1->scrollTo(index);
}

bool TDialogSelectDir::Watching() const {
  return !model_->testOption(QFileSystemModel::DontWatchForChanges);
}

bool TDialogSelectDir::Execute() {
  model_->setOption(QFileSystemModel::DontWatchForChanges, false);
  if (Modal().Dialog(*this) != QDialog::Accepted) return false;

  const QModelIndexList selected = ShellTreeView1->selectionModel()->selectedRows();
  if (selected.isEmpty()) {
    SelectedPath.clear();
  } else {
    // cleanPath drops any trailing "/" but leaves the root's own.
    SelectedPath = QDir::cleanPath(model_->filePath(selected.front()));
  }
  return true;
}

bool TDialogSelectDir::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ShellTreeView1->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::RightButton) {
      const QModelIndex index = ShellTreeView1->indexAt(mouse->position().toPoint());
      if (index.isValid()) ShellTreeView1->setCurrentIndex(index);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TDialogSelectDir::showEvent(QShowEvent* event) {
  CentreOnScreen(*this);
  QDialog::showEvent(event);
}
