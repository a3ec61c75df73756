// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/startcheck.h"

#include <string>

#include "engine/destination.h"
#include "ui/modal.h"

bool DestinationReady(QWidget* parent, const QString& destination) {
  if (destination.isEmpty()) return true;
  const std::string folder = destination.toStdString();
  std::string problem;
  TDestinationState state = CheckDestinationFolder(folder, problem);
  if (state == TDestinationState::Missing) {
    if (!AskConfirmation(
            parent,
            QStringLiteral("The destination folder %1 does not exist. Create it?").arg(destination),
            kJa)) {
      return false;
    }
    problem = MakeDestinationFolder(folder);
    if (!problem.empty()) {
      ShowWarning(parent, QStringLiteral("Could not create the destination folder %1: %2.")
                              .arg(destination, QString::fromStdString(problem)));
      return false;
    }
    // Made now, yet it may still refuse files (a umask or an inherited ACL).
    state = CheckDestinationFolder(folder, problem);
  }
  if (state == TDestinationState::Writable) return true;
  ShowWarning(parent, QStringLiteral("Cannot write to the destination folder %1: %2.")
                          .arg(destination, QString::fromStdString(problem)));
  return false;
}
