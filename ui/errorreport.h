// SPDX-License-Identifier: GPL-3.0-or-later
// The application's general error report, and the guard every window handler
// runs in, so no exception ever crosses a Qt frame.
#pragma once

#include <QString>
#include <exception>
#include <utility>

class QWidget;

// The report's text: the error's own, with a "." where it does not end in one
// or in a character that sorts before it.
QString ErrorReportText(const QString& message);

// Title of the application, error icon, OK; the program goes on afterwards.
void ShowErrorReport(QWidget* parent, const QString& message);

template <class Handler>
void Guarded(QWidget* parent, Handler&& handler) {
  try {
    std::forward<Handler>(handler)();
  } catch (const std::exception& error) {
    ShowErrorReport(parent, QString::fromUtf8(error.what()));
  } catch (...) {
    ShowErrorReport(parent, QStringLiteral("Unknown error"));
  }
}
