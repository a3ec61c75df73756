// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/errorreport.h"

#include <QApplication>

#include "ui/modal.h"

QString ErrorReportText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

void ShowErrorReport(QWidget* parent, const QString& message) {
  TMessageRequest request;
  request.title = QApplication::applicationName();
  request.text = ErrorReportText(message);
  request.icon = TMsgIcon::Error;
  Modal().Message(parent, request);
}
