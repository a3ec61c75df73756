// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/foundfiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <QListWidgetItem>

#include "ui/listbox.h"
#include "ui/modal.h"

namespace {

// Set once recover selected or recover all has written the entry's plain file.
constexpr int kRecoveredRole = Qt::UserRole;
// Where the stored file was written, and which file it was then. An entry
// without them was not stored by this run, and nothing of it is deleted.
constexpr int kStoredPathRole = Qt::UserRole + 2;
constexpr int kStoredIdentityRole = Qt::UserRole + 3;

// A file deleted and made anew often gets the same inode back, so its size
// and modification time count too; a recover or a preview changes neither.
QString Identity(const struct stat& info) {
  return QStringLiteral("%1:%2:%3:%4.%5")
      .arg(info.st_dev)
      .arg(info.st_ino)
      .arg(info.st_size)
      .arg(info.st_mtim.tv_sec)
      .arg(info.st_mtim.tv_nsec);
}

}  // namespace

void ListFoundFile(TListBox& list, const QString& storedName, const QString& storedPath) {
  auto* item = new QListWidgetItem(storedName);
  item->setSizeHint({list.viewport()->width(), kListItemHeight});
  struct stat info {};
  // The engine wrote the path's UTF-8 bytes, as every path of the window is.
  if (::lstat(storedPath.toStdString().c_str(), &info) == 0) {
    item->setData(kStoredPathRole, storedPath);
    item->setData(kStoredIdentityRole, Identity(info));
  }
  list.addItem(item);
}

void MarkRecovered(QListWidgetItem& item) {
  item.setData(kRecoveredRole, true);
}

int UnrecoveredCount(const TListBox& list) {
  int unrecovered = 0;
  for (int i = 0; i < list.count(); ++i) {
    if (!list.item(i)->data(kRecoveredRole).toBool()) ++unrecovered;
  }
  return unrecovered;
}

bool ConfirmDropUnrecovered(QWidget* parent, const TListBox& list, TDropMoment moment) {
  const int unrecovered = UnrecoveredCount(list);
  if (unrecovered == 0) return true;
  const bool close = moment == TDropMoment::Close;
  const QString when = close ? QStringLiteral("when Fernhollow closes. Close anyway?")
                             : QStringLiteral("when a new search starts. Start anyway?");
  const QString text =
      unrecovered == 1
          ? QStringLiteral("1 found file has not been recovered yet. Its stored copy is deleted ")
          : QStringLiteral(
                "%1 found files have not been recovered yet. Their stored copies are "
                "deleted ")
                .arg(unrecovered);
  return AskConfirmation(parent, text + when, kNein);
}

void DropFoundFiles(TListBox& list) {
  for (int i = 0; i < list.count(); ++i) {
    const QListWidgetItem& item = *list.item(i);
    const QString path = item.data(kStoredPathRole).toString();
    if (path.isEmpty()) continue;
    const std::string name = path.toStdString();
    // A file put in its place since (by another program, or another
    // instance storing under the same name) is not this run's to delete.
    struct stat info {};
    if (::lstat(name.c_str(), &info) == 0 &&
        Identity(info) == item.data(kStoredIdentityRole).toString()) {
      ::unlink(name.c_str());
    }
  }
  list.clear();
}
