// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/helptab.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QUrl>

#include "ui/startup.h"

namespace {

TDocumentOpener& Opener() {
  static TDocumentOpener opener;
  return opener;
}

enum class TStyle { Plain, Bold, BoldUnderlined };

QLabel* AddText(QWidget* panel, int x, int y, TStyle style, const QString& text) {
  auto* label = new QLabel(text, panel);
  QFont font = style == TStyle::Plain ? label->font() : BoldFont(label->font());
  font.setUnderline(style == TStyle::BoldUnderlined);
  label->setFont(font);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QLabel* AddWrappedText(QWidget* panel, int x, int y, int width, int height, const QString& text) {
  auto* label = new QLabel(text, panel);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(x, y, width, height);
  // The box was made for the classic face's metrics; where this machine's font
  // runs wider, close up the letters a little rather than cut the last line.
  for (qreal spacing = 99; label->heightForWidth(width) > height && spacing >= 90; --spacing) {
    QFont font = label->font();
    font.setLetterSpacing(QFont::PercentageSpacing, spacing);
    label->setFont(font);
  }
  return label;
}

}  // namespace

QWidget* BuildHelpPanel(QWidget* frame) {
  auto* panel = new QFrame(frame);
  panel->setObjectName(QStringLiteral("HelpPanel"));
  panel->setGeometry(8, 11, 393, 238);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setLineWidth(1);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, Qt::white);
  palette.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(palette);
  panel->setAutoFillBackground(true);

  AddText(panel, 8, 8, TStyle::BoldUnderlined,
          QStringLiteral("Fernhollow  is a data recovery tool for digital images"));
  AddWrappedText(panel, 8, 28, 331, 26,
                 QStringLiteral("The program is designed for media used by digital cameras. "
                                "Common media types are:"));
  AddWrappedText(panel, 12, 60, 296, 26,
                 QStringLiteral("Flash Card (TM), SmartMedia (TM), SONY Memory Stick (TM), "
                                "IBM(TM) Micro Drive, Multimedia Card and Secure Digital Card"));
  AddText(panel, 8, 92, TStyle::Bold, QStringLiteral("The system requirements are:"));
  const QString bullet(QChar(0x2022));
  AddText(panel, 16, 108, TStyle::Plain, bullet);
  // Mend: this named the Windows versions of old; it says what this build needs.
  AddText(panel, 28, 108, TStyle::Plain,
          QStringLiteral("Linux with Qt %1, and udisks2 to read cards as a user")
              .arg(QT_VERSION_MAJOR));
  AddText(panel, 16, 124, TStyle::Plain, bullet);
  AddText(panel, 28, 124, TStyle::Plain,
          QStringLiteral("Memory card reader (the media has to be appear as a drive)"));
  AddText(panel, 8, 148, TStyle::Bold, QStringLiteral("How to use Fernhollow (tm):"));
  AddText(panel, 8, 168, TStyle::Plain, QStringLiteral("1. Select the sourcedrive"));
  AddText(panel, 8, 184, TStyle::Plain,
          QStringLiteral("2. Choose the imagetypes which you want to be recovered"));
  AddText(panel, 8, 200, TStyle::Plain, QStringLiteral("3. Start the search"));
  AddText(panel, 8, 216, TStyle::Plain, QStringLiteral("4. Recover the selected images"));
  return panel;
}

void OpenDocument(const QString& path) {
  if (Opener()) {
    Opener()(path);
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void SetDocumentOpener(TDocumentOpener opener) {
  Opener() = std::move(opener);
}
