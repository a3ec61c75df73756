// SPDX-License-Identifier: GPL-3.0-or-later
// Every modal window of the program goes through this one hook, so tests can
// answer message boxes and dialogs without a person and without hanging.
#pragma once

#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

enum class TMsgIcon { None, Information, Warning, Error, Question };

struct TMessageRequest {
  QString title;
  QString text;
  TMsgIcon icon = TMsgIcon::None;
  QStringList buttons{QStringLiteral("OK")};
  int defaultButton = 0;
  int escapeButton = 0;  // the answer when the box is closed without a button
};

class TModalHook {
 public:
  virtual ~TModalHook() = default;
  // Shows a message box; returns the index of the button pressed.
  virtual int Message(QWidget* parent, const TMessageRequest& request) = 0;
  // Runs a dialog modally; returns its QDialog::DialogCode.
  virtual int Dialog(QDialog& dialog) = 0;
};

// The hook in force: the real windows unless a test installed its own.
TModalHook& Modal();
// Installs a hook (not owned); nullptr brings back the real windows.
void SetModalHook(TModalHook* hook);

// The plain box: application title, no icon, one OK button.
void ShowPlainMessage(QWidget* parent, const QString& text);

// The typed warning box of the search: "Warnung", warning icon, OK.
void ShowWarning(QWidget* parent, const QString& text);

// The typed confirmation box: "Bestätigung", question icon, "&Ja" and "&Nein",
// Escape or closing the box answering "&Nein". True for "&Ja".
bool AskConfirmation(QWidget* parent, const QString& text, int defaultButton);
inline constexpr int kJa = 0;
inline constexpr int kNein = 1;
