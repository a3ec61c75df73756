// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/modal.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

class TRealModal : public TModalHook {
 public:
  int Message(QWidget* parent, const TMessageRequest& request) override {
    QMessageBox box(parent);
    box.setWindowTitle(request.title);
    box.setText(request.text);
    box.setIcon(IconOf(request.icon));
    QList<QPushButton*> buttons;
    for (const QString& caption : request.buttons) {
      buttons.append(box.addButton(caption, QMessageBox::AcceptRole));
    }
    if (request.defaultButton >= 0 && request.defaultButton < buttons.size()) {
      box.setDefaultButton(buttons[request.defaultButton]);
    }
    if (request.escapeButton >= 0 && request.escapeButton < buttons.size()) {
      box.setEscapeButton(buttons[request.escapeButton]);
    }
    box.exec();
    const int pressed = static_cast<int>(buttons.indexOf(box.clickedButton()));
    return pressed >= 0 ? pressed : request.escapeButton;
  }

  int Dialog(QDialog& dialog) override { return dialog.exec(); }

 private:
  static QMessageBox::Icon IconOf(TMsgIcon icon) {
    switch (icon) {
      case TMsgIcon::Information:
        return QMessageBox::Information;
      case TMsgIcon::Warning:
        return QMessageBox::Warning;
      case TMsgIcon::Error:
        return QMessageBox::Critical;
      case TMsgIcon::Question:
        return QMessageBox::Question;
      case TMsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
  }
};

TRealModal RealModal;
TModalHook* CurrentHook = nullptr;

}  // namespace

TModalHook& Modal() {
  return CurrentHook != nullptr ? *CurrentHook : RealModal;
}

void SetModalHook(TModalHook* hook) {
  CurrentHook = hook;
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
  TMessageRequest request;
  request.title = QApplication::applicationName();
  request.text = text;
  Modal().Message(parent, request);
}

void ShowWarning(QWidget* parent, const QString& text) {
  TMessageRequest request;
  request.title = QStringLiteral("Warnung");
  request.text = text;
  request.icon = TMsgIcon::Warning;
  Modal().Message(parent, request);
}

bool AskConfirmation(QWidget* parent, const QString& text, int defaultButton) {
  TMessageRequest request;
  request.title = QStringLiteral("Bestätigung");
  request.text = text;
  request.icon = TMsgIcon::Question;
  request.buttons = {QStringLiteral("&Ja"), QStringLiteral("&Nein")};
  request.defaultButton = defaultButton;
  request.escapeButton = kNein;
  return Modal().Message(parent, request) != kNein;
}
