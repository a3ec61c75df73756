// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/mainform.h"

#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>

#include "diskio/platform.h"
#include "diskio/samemedium.h"
#include "engine/restore.h"
#include "engine/scan.h"
#include "ui/animate.h"
#include "ui/dialogdir.h"
#include "ui/drivepanel.h"
#include "ui/elidedlabel.h"
#include "ui/errorreport.h"
#include "ui/foundfiles.h"
#include "ui/helptab.h"
#include "ui/listbox.h"
#include "ui/modal.h"
#include "ui/preview.h"
#include "ui/scanhost.h"
#include "ui/spinedit.h"
#include "ui/startcheck.h"
#include "ui/startup.h"
#include "ui/statusbar.h"

namespace {

constexpr int kValueLabelWidth = 69;
constexpr int kLabelHeight = 13;
// The Search tab's lines run as wide as its progress bar; the end line sits
// under Start and Cancel.
constexpr int kSearchLineWidth = 377;
constexpr int kSearchEndTop = 252;
constexpr int kSizeRightEdge = 145;
constexpr int kSizeTop = 224;
// The Drive tab's line saying which device a drive is, below the list and
// Refresh, in the room the window gained for the type grid's fourth row. It
// runs across the frame to where the value labels end.
constexpr int kDeviceTop = 258;
constexpr int kDeviceRightEdge = 393;
constexpr int kCaptionGap = 6;
// Room kept between the "Filesize:" caption and the size.
constexpr int kSizeCaptionGap = 4;
// The size is never drawn smaller than this; 2 TiB, the largest drive, fits.
constexpr int kSmallestSizePixels = 7;

const char* const kTabIcons[] = {":/icons/tab-options.png", ":/icons/tab-help.png",
                                 ":/icons/tab-restore.png", ":/icons/tab-search.png",
                                 ":/icons/tab-drive.png"};

QLabel* AddLabel(QWidget* parent, int x, int y, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

// Value labels keep their width whatever their text.
QLabel* AddValueLabel(QWidget* parent, const char* name, int x, int y, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, kValueLabelWidth, kLabelHeight);
  return label;
}

QPushButton* AddButton(QWidget* parent, const char* name, const QRect& geometry,
                       const QString& caption) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  button->setAutoDefault(false);
  return button;
}

template <class Control>
Control* Add(QWidget* parent, const char* name, const QRect& geometry) {
  auto* control = new Control(parent);
  control->setObjectName(name);
  control->setGeometry(geometry);
  return control;
}

}  // namespace

// The resources live in a static library; nothing else would pull them in.
static void InitResources() {
  Q_INIT_RESOURCE(fernhollow);
}

TForm1::TForm1(DiskPlatform& platform, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      platform_(platform) {
  InitResources();
  setObjectName("Form1");
  setWindowTitle(QStringLiteral("Fernhollow (tm)"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/fernhollow.png")));
  // The type grid's fourth row (the other camera files) makes the window one
  // row taller than the classic layout; everything above keeps its place.
  setFixedSize(445, 330 + kTypeRow);

  PageControl = Add<QTabWidget>(this, "PageControl", {8, 4, 432, 309 + kTypeRow});
  PageControl->setIconSize({16, 16});
  BuildDriveTab(AddTab(TabSheet1, "TabSheet1", "Drive", 4));
  BuildOptionsTab(AddTab(TabSheet2, "TabSheet2", "Options", 0));
  BuildSearchTab(AddTab(TabSheet3, "TabSheet3", "Search", 3));
  BuildRestoreTab(AddTab(TabSheet4, "TabSheet4", "Restore", 2));
  BuildHelpPanel(AddTab(TabSheet5, "TabSheet5", "Help", 1));
  TabSheet5->installEventFilter(this);
  PageControl->setCurrentIndex(0);

  SB = Add<TStatusBar>(this, "SB", {0, 313 + kTypeRow, 445, 17});
  SB->setSizeGripEnabled(false);

  connect(ListBoxDrives, &TListBox::UserSelected, this,
          [this] { Guarded(this, [this] { ListBoxDrivesClick(); }); });
  connect(cmdRefresh, &QPushButton::clicked, this,
          [this] { Guarded(this, [this] { cmdRefreshClick(); }); });
  connect(Button3, &QPushButton::clicked, this,
          [this] { Guarded(this, [this] { Button3Click(); }); });
  connect(ButtonStart, &QPushButton::clicked, this,
          [this] { Guarded(this, [this] { ButtonStartClick(); }); });
  connect(ButtonCancel, &QPushButton::clicked, this,
          [this] { Guarded(this, [this] { ButtonCancelClick(); }); });
  connect(lstResults, &TListBox::UserSelected, this,
          [this] { Guarded(this, [this] { lstResultsClick(); }); });
  connect(cmdRecSel, &QPushButton::clicked, this,
          [this] { Guarded(this, [this] { cmdRecSelClick(); }); });
  connect(cmdRecAll, &QPushButton::clicked, this,
          [this] { Guarded(this, [this] { cmdRecAllClick(); }); });
  connect(PageControl, &QTabWidget::currentChanged, this, &TForm1::PageChanged);

  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::showEvent(QShowEvent* event) {
  if (!centred_) {
    centred_ = true;
    CentreOnScreen(*this);
  }
  QWidget::showEvent(event);
}

QGroupBox* TForm1::AddTab(QWidget*& sheet, const char* name, const QString& caption,
                          int iconIndex) {
  sheet = new QWidget;
  sheet->setObjectName(name);
  PageControl->addTab(sheet, QIcon(kTabIcons[iconIndex]), caption);
  return Add<QGroupBox>(sheet, (std::string(name) + "Frame").c_str(), {8, 16, 409, 257 + kTypeRow});
}

void TForm1::BuildDriveTab(QWidget* frame) {
  AddLabel(frame, 16, 16, "Please select a drive from where to restore the images");
  AddLabel(frame, 16, 44, "Avaiable drives:");
  ListBoxDrives = Add<TListBox>(frame, "ListBoxDrives", {16, 68, 105, 149});
  ListBoxDrives->setUniformItemSizes(true);
  cmdRefresh = AddButton(frame, "cmdRefresh", {16, 224, 105, 25}, "Refresh");

  AddLabel(frame, 204, 72, "Media:");
  LabelMedia = AddValueLabel(frame, "LabelMedia", 324, 72, "N/A");
  AddLabel(frame, 204, 124, "Bytes per sector:");
  LabelBytesPerSec = AddValueLabel(frame, "LabelBytesPerSec", 324, 124, "N/A");
  AddLabel(frame, 204, 176, "Capacity:");
  LabelCapacity = AddValueLabel(frame, "LabelCapacity", 324, 176, "N/A");
  AddLabel(frame, 204, 228, "Status:");
  LabelStatus = AddValueLabel(frame, "LabelStatus", 324, 228, "N/A");

  // Addition: letters say nothing of which drive is the card; the path, the
  // reader's slot or bus and the model do. A long text loses its end rather
  // than widening the window.
  const QLabel* caption = AddLabel(frame, 16, kDeviceTop, "Device:");
  LabelDevice = new TElidedLabel(frame);
  LabelDevice->setObjectName(QStringLiteral("LabelDevice"));
  const int left = caption->x() + caption->width() + kCaptionGap;
  LabelDevice->setGeometry(left, kDeviceTop, kDeviceRightEdge - left, kLabelHeight);
  LabelDevice->SetFullText(QStringLiteral("N/A"));
}

void TForm1::BuildOptionsTab(QWidget* frame) {
  AddLabel(frame, 16, 16, "Destination path:");
  EditDestPath = Add<QLineEdit>(frame, "EditDestPath", {16, 32, 313, 21});
  AddLabel(frame, 16, 56, "File name prefix:");
  EditFilenamePrefix = Add<QLineEdit>(frame, "EditFilenamePrefix", {16, 72, 137, 21});

  AddLabel(frame, 14, 104, " Number of retries:");
  SpinEditRetryCount = Add<TSpinEdit>(frame, "SpinEditRetryCount", {272, 100, 57, 22});
  SpinEditRetryCount->SetMinValue(0);
  SpinEditRetryCount->SetMaxValue(100);
  SpinEditRetryCount->SetValue(1);

  auto* sectorsLabel = new QLabel("Number of sectors to read at once:", frame);
  sectorsLabel->setGeometry(16, 132, 185, 21);
  sectorsLabel->setWordWrap(true);
  sectorsLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  SpinEditSecAtOnce = Add<TSpinEdit>(frame, "SpinEditSecAtOnce", {272, 128, 57, 22});
  SpinEditSecAtOnce->SetMinValue(1);
  SpinEditSecAtOnce->SetMaxValue(1000);
  SpinEditSecAtOnce->SetValue(1);
  Button3 = AddButton(frame, "Button3", {332, 32, 29, 25}, "...");
  AddLabel(frame, 16, 160, "Search for:");

  chkJPG = AddTypeBox(frame, "chkJPG", {16, 184, 89, 17}, "Jpeg's (*.JPG)", &TSearchTypes::JPG);
  chkBMP = AddTypeBox(frame, "chkBMP", {112, 184, 105, 17}, "Bitmaps (*.BMP)", &TSearchTypes::BMP);
  chkGIF = AddTypeBox(frame, "chkGIF", {16, 232, 89, 17}, "GIFF (*.GIF)", &TSearchTypes::GIF);
  chkTIF = AddTypeBox(frame, "chkTIF", {16, 208, 89, 17}, "TIFF (*.TIF)", &TSearchTypes::TIF);
  chkMOV = AddTypeBox(frame, "chkMOV", {256, 184, 145, 17}, "Quicktime movies (*.MOV)",
                      &TSearchTypes::MOV);
  chkAVI =
      AddTypeBox(frame, "chkAVI", {256, 208, 113, 17}, "AVI movies (*.AVI)", &TSearchTypes::AVI);
  chkPNG = AddTypeBox(frame, "chkPNG", {112, 208, 89, 17}, "PNG (*.png)", &TSearchTypes::PNG);
  chkRIFF = AddTypeBox(frame, "chkRIFF", {112, 232, 137, 17}, "Unknown RIFF (*.RIFF)",
                       &TSearchTypes::RIFF);
  chkWAV =
      AddTypeBox(frame, "chkWAV", {256, 232, 145, 17}, "Wave files (*.WAV)", &TSearchTypes::WAV);
  // Addition: the files of today's cameras and phones that none of the
  // classic boxes covers.
  chkOther = AddTypeBox(frame, "chkOther", {16, 232 + kTypeRow, 385, 17},
                        "Other camera files (HEIC, CR3, RAF, MTS)", &TSearchTypes::Other);
  // Off at start: unticked, the scan carves from header to header.
  chkCheckFiles = new QCheckBox(QStringLiteral("Check headers and cut files at their end"), frame);
  chkCheckFiles->setObjectName(QStringLiteral("chkCheckFiles"));
  chkCheckFiles->setGeometry(112, 158, 289, 17);
  chkCheckFiles->setStyleSheet(QStringLiteral("QCheckBox { spacing: 3px; }"));
  connect(chkCheckFiles, &QCheckBox::toggled, this, [this](bool checked) { CheckFiles = checked; });

  const QList<QWidget*> tabOrder{EditDestPath,
                                 EditFilenamePrefix,
                                 SpinEditRetryCount,
                                 SpinEditSecAtOnce,
                                 Button3,
                                 chkJPG,
                                 chkBMP,
                                 chkGIF,
                                 chkTIF,
                                 chkMOV,
                                 chkAVI,
                                 chkPNG,
                                 chkRIFF,
                                 chkWAV,
                                 chkOther,
                                 chkCheckFiles};
  for (qsizetype i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

QCheckBox* TForm1::AddTypeBox(QWidget* frame, const char* name, const QRect& geometry,
                              const QString& caption, bool TSearchTypes::*flag) {
  auto* box = new QCheckBox(caption, frame);
  box->setObjectName(name);
  box->setGeometry(geometry);
  // The classic box-to-caption gap, so the longest captions fit their width.
  box->setStyleSheet(QStringLiteral("QCheckBox { spacing: 3px; }"));
  box->setChecked(SearchTypes.*flag);
  connect(box, &QCheckBox::toggled, this,
          [this, flag](bool checked) { SearchTypes.*flag = checked; });
  return box;
}

void TForm1::BuildSearchTab(QWidget* frame) {
  Animate1 = Add<TAnimate>(frame, "Animate1", {16, 16, 146, 34});
  Animate1->hide();
  AddLabel(frame, 16, 68, "Search progress:");
  ProgressBar = Add<QProgressBar>(frame, "ProgressBar", {16, 92, 377, 18});
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);
  AddLabel(frame, 16, 128, "Images found:");
  LabelImagesFound = AddValueLabel(frame, "LabelImagesFound", 96, 128, "");
  AddLabel(frame, 12, 152, "  Read errors:");
  LabelReadErrors = AddValueLabel(frame, "LabelReadErrors", 100, 152, "");
  AddLabel(frame, 16, 176, "Current sector:");
  LabelCurrentSector = AddValueLabel(frame, "LabelCurrentSector", 100, 176, "");
  // Addition: how far there is to go, and, once a search is over, how it ended.
  LabelTimeLeft = Add<QLabel>(frame, "LabelTimeLeft", {100, 176, 0, kLabelHeight});
  LabelSearchEnd =
      Add<QLabel>(frame, "LabelSearchEnd", {16, kSearchEndTop, kSearchLineWidth, kLabelHeight});
  ButtonStart = AddButton(frame, "ButtonStart", {8, 216, 75, 25}, "&Start");
  ButtonCancel = AddButton(frame, "ButtonCancel", {88, 216, 75, 25}, "&Cancel");
}

void TForm1::ShowTimeLeft(const QString& text) {
  // Just after the sector's number, whose width changes only with its digits.
  const QFontMetrics metrics = LabelCurrentSector->fontMetrics();
  const int x = LabelCurrentSector->x() +
                metrics.horizontalAdvance(LabelCurrentSector->text() + QLatin1Char(' '));
  const int width = 16 + kSearchLineWidth - x;  // up to the progress bar's right edge
  if (LabelTimeLeft->x() != x || LabelTimeLeft->width() != width) {
    LabelTimeLeft->setGeometry(x, LabelTimeLeft->y(), width, kLabelHeight);
  }
  LabelTimeLeft->setText(metrics.elidedText(text, Qt::ElideRight, width));
}

void TForm1::ShowSearchEnd(const QString& text) {
  const QString shown =
      LabelSearchEnd->fontMetrics().elidedText(text, Qt::ElideMiddle, LabelSearchEnd->width());
  LabelSearchEnd->setText(shown);
  LabelSearchEnd->setToolTip(shown == text ? QString() : text);
}

void TForm1::BuildRestoreTab(QWidget* frame) {
  lstResults = Add<TListBox>(frame, "lstResults", {16, 16, 129, 201});
  lstResults->setUniformItemSizes(true);
  imgPreview = Add<QLabel>(frame, "imgPreview", {176, 40, 193, 129});
  imgPreview->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  sizeCaption_ = AddLabel(frame, 16, 224, "Filesize:");
  // Sized to its text, right edge fixed at x 145.
  lblSize = Add<QLabel>(frame, "lblSize", {kSizeRightEdge, kSizeTop, 0, kLabelHeight});
  lblSize->setAlignment(Qt::AlignRight | Qt::AlignTop);
  cmdRecSel = AddButton(frame, "cmdRecSel", {152, 192, 129, 25}, "recover selected image");
  cmdRecSel->setDefault(true);
  cmdRecSel->setEnabled(false);
  cmdRecAll = AddButton(frame, "cmdRecAll", {288, 192, 113, 25}, "recover all images");
  cmdRecAll->setEnabled(false);
}

namespace {

QString WithSlash(const QString& folder) {
  return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// The destination a new window starts with: the program's folder where the
// user may write to it. Mend: an installed program's folder is not writable,
// and every scan into it failed at its first file; then the user's pictures
// folder (home where there is none).
QString DefaultDestination() {
  const QString program = ProgramFolder();
  if (::access(QFile::encodeName(program).constData(), W_OK) == 0) return WithSlash(program);
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  if (!pictures.isEmpty() && QFileInfo(pictures).isDir()) return WithSlash(pictures);
  return WithSlash(QDir::homePath());
}

// Mend: the limit is 2^32 sectors, so its size follows the sector size.
QString OnlyFirstPart(std::uint32_t bytesPerSector) {
  return QStringLiteral("Only the first %1 of this drive can be searched.")
      .arg(QString::fromStdString(SectorNumberLimitText(bytesPerSector)));
}

}  // namespace

void TForm1::FormCreate() {
  // A clip that cannot be loaded leaves the window without an animation.
  Animate1->Open(QStringLiteral(":/anim/busy-strip.png"), 146, 500);

  ButtonCancel->setEnabled(false);
  ButtonStart->setEnabled(false);

  // No error mode to set: Linux shows no system boxes for a drive without media;
  // the open just fails and the drive reads as not ready.

  EnumerateDrives();
  // The first thing to do is to pick a drive.
  ListBoxDrives->setFocus(Qt::OtherFocusReason);

  EditDestPath->setText(DefaultDestination());
  EditFilenamePrefix->setText(QStringLiteral("recovered"));
}

namespace {

// A drive item keeps its tooltip without any access problem here, so the
// latest problem replaces the one before rather than piling up under it.
constexpr int kPlainToolTipRole = Qt::UserRole + 1;

void ShowAccessProblem(QListWidgetItem& item, const std::string& why) {
  const QString plain = item.data(kPlainToolTipRole).toString();
  item.setToolTip(why.empty() ? plain : plain + QLatin1Char('\n') + QString::fromStdString(why));
}

}  // namespace

void TForm1::EnumerateDrives() {
  for (const std::string& root : platform_.LogicalDriveRoots()) {
    if (root.size() < 2) continue;
    const QString name = QString::fromLatin1(root.data(), 2).toUpper();
    const unsigned kind = platform_.DriveType(name.toStdString() + '\\');
    if (kind == DRIVE_REMOTE || kind == DRIVE_CDROM) continue;

    auto* item = new QListWidgetItem(name, ListBoxDrives);
    item->setSizeHint({ListBoxDrives->viewport()->width(), kListItemHeight});
    // Linux has no drive letters of its own: say which device each one is.
    const DriveDescription description = platform_.Describe(name[0].toLatin1());
    QStringList tip{DeviceText(description)};
    tip << QStringLiteral("%1 bytes (%2)")
               .arg(description.sizeBytes)
               .arg(CapacityText(static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                     description.sizeBytes / 512, UINT32_MAX)),
                                 512, QLocale().decimalPoint().front()));
    const std::uint32_t sectorBytes = description.sectorBytes != 0 ? description.sectorBytes : 512;
    if (BeyondSectorNumbers(description.sizeBytes, sectorBytes)) tip << OnlyFirstPart(sectorBytes);
    if (!description.note.empty()) tip << QString::fromStdString(description.note);
    item->setToolTip(tip.join(QLatin1Char('\n')));
    item->setData(kPlainToolTipRole, item->toolTip());
  }
}

void TForm1::SetStatusText(const QString& text) {
  SB->showMessage(text);
}

void TForm1::ListBoxDrivesClick() {
  QListWidgetItem* item = ListBoxDrives->SelectedItem();
  if (item == nullptr || item->text().isEmpty()) return;

  SetStatusText(QStringLiteral("Retrieving driveinformation..."));
  ButtonStart->setEnabled(false);
  LabelMedia->clear();
  LabelBytesPerSec->clear();
  LabelCapacity->clear();

  DriveNumber = static_cast<std::uint8_t>(item->text()[0].unicode() - 64);
  const char letter = static_cast<char>(DriveNumber + 64);
  // From sysfs or the file's entry: shown whether or not the drive is ready,
  // so an empty slot or a refused device is still recognised.
  LabelDevice->SetFullText(DeviceText(platform_.Describe(letter)));
  bool ready = GetDriveGeometry(DriveNumber, DriveGeometry);
  // The geometry needs no rights to the device, so it is shown also when
  // access is then refused: the user still sees which card this is.
  if (ready) {
    LabelMedia->setText(MediaText(platform_.DriveType(std::string{letter, ':', '\\'})));
    LabelBytesPerSec->setText(QString::number(DriveGeometry.BytesPerSector));
    LabelCapacity->setText(CapacityText(DriveGeometry.TotalSectors, DriveGeometry.BytesPerSector,
                                        QLocale().decimalPoint().front()));
  }
  // Access is asked for now, while the user is here to answer a password
  // prompt, rather than when the scan first reads.
  std::string why;
  if (ready) ready = platform_.PrepareToRead(letter, why);
  ShowAccessProblem(*item, why);
  if (ready) {
    LabelStatus->setText(QStringLiteral("ready"));
    ButtonStart->setEnabled(true);

    SpinEditSecAtOnce->SetMinValue(1);
    if (DriveGeometry.BytesPerSector != 0) {
      SpinEditSecAtOnce->SetMaxValue(
          static_cast<int>(kScanBufferSize / DriveGeometry.BytesPerSector));
    }
    SpinEditSecAtOnce->SetValue(static_cast<int>(DriveGeometry.TotalSectors / 100));
  } else {
    LabelStatus->setText(QStringLiteral("not ready"));
  }

  if (ready && LabelMedia->text() == QLatin1String("Fixed")) {
    ShowPlainMessage(this,
                     QStringLiteral("Fernhollow was developed for use on digital photo media. "
                                    "However, it can be used on fixed drives. The scan used is "
                                    "very thorough and may take some time on large hard "
                                    "drives.!!"));
  }
  SetStatusText(QStringLiteral("Ready"));
}

void TForm1::ButtonStartClick() {
  if (scanning_) return;
  // Mend: a new search dropped the found files of the last one unasked. Asked
  // first, so a folder is made only for a search that will run; the files go
  // only once the search does (TWindowScanHost::SearchStarting), so a "&Nein"
  // here or to any check below reads nothing and deletes nothing.
  if (!ConfirmDropUnrecovered(this, *lstResults, TDropMoment::NewSearch)) return;
  const std::string drivePath = platform_.Describe(static_cast<char>(DriveNumber + 64)).path;
  // Before the folder is made: it must not be made on the card either.
  if (DestinationOnDrive(drivePath)) return;
  // Addition: a folder that is missing or cannot be written is found now, not
  // at the first file found.
  if (!DestinationReady(this, EditDestPath->text())) return;
  scanning_ = true;
  // The listed files are judged against the drive they came from, whatever
  // drive is picked later.
  searchedPath_ = drivePath;
  struct Done {
    TForm1& form;
    ~Done() {
      form.scanning_ = false;
      // A close asked for during the scan is carried out now that it is over.
      if (form.closeRequested_)
        QMetaObject::invokeMethod(&form, &QWidget::close, Qt::QueuedConnection);
    }
  } done{*this};
  // Sector numbers are 32-bit: say so before a scan that cannot reach the end.
  const DriveDescription description = platform_.Describe(static_cast<char>(DriveNumber + 64));
  if (DriveGeometry.TotalSectors != 0 &&
      BeyondSectorNumbers(description.sizeBytes, DriveGeometry.BytesPerSector)) {
    ShowWarning(this, OnlyFirstPart(DriveGeometry.BytesPerSector));
  }
  TWindowScanHost host(*this);
  RunScan(host);
}

void TForm1::ButtonCancelClick() {
  CancelRequested = true;
  SetStatusText(QStringLiteral("Stopping..."));
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (scanning_) {
    closeRequested_ = true;
    event->ignore();
    return;
  }
  closeRequested_ = false;
  bool canClose = true;
  Guarded(this, [&] { canClose = FormCloseQuery(); });
  if (!canClose) {
    event->ignore();
    return;
  }
  Guarded(this, [this] { FormClose(); });
  event->accept();
}

void TForm1::keyPressEvent(QKeyEvent* event) {
  // Enter on the Restore tab presses the default button, unless the focus is
  // on another button.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && PageControl->currentWidget() == TabSheet4 && cmdRecSel->isEnabled() &&
      qobject_cast<QAbstractButton*>(QApplication::focusWidget()) == nullptr) {
    cmdRecSel->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TabSheet5 && event->type() == QEvent::FocusIn &&
      static_cast<QFocusEvent*>(event)->reason() != Qt::ActiveWindowFocusReason &&
      static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
    if (helpShown_) {
      Guarded(this, [this] { TabSheet5Enter(); });
    } else {
      helpEnterPending_ = true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::PageChanged(int index) {
  if (PageControl->widget(index) != TabSheet5) {
    helpShown_ = false;
    helpEnterPending_ = false;
    return;
  }
  helpShown_ = true;
  Guarded(this, [this] { TabSheet5Show(); });
  // The focus was on the page just left: it moves to the Help page.
  QWidget* focus = QApplication::focusWidget();
  if (isActiveWindow() && !helpEnterPending_ && focus != nullptr && focus != TabSheet5 &&
      !focus->isVisible()) {
    TabSheet5->setFocus(Qt::OtherFocusReason);
  }
  if (helpEnterPending_) {
    helpEnterPending_ = false;
    Guarded(this, [this] { TabSheet5Enter(); });
  }
}

void TForm1::TabSheet5Show() {
  OpenDocument(ProgramFolder() + QStringLiteral("/FHL.hlp"));
}

void TForm1::TabSheet5Enter() {
  // The bare name, found in the working folder, wherever that is.
  OpenDocument(QDir::current().absoluteFilePath(QStringLiteral("FHL.HLP")));
}

void TForm1::ShowFileSize(qint64 size) {
  lblSize->setText(QString::number(size) + QStringLiteral(" Bytes"));
  // Mend: from ten digits on, the size ran into the "Filesize:" caption. Where
  // it does not fit between the caption and its right edge, it is drawn closer,
  // then smaller.
  const int captionEnd =
      sizeCaption_->x() + sizeCaption_->fontMetrics().horizontalAdvance(sizeCaption_->text());
  const int room = kSizeRightEdge - captionEnd - kSizeCaptionGap;
  const auto fits = [&] { return lblSize->sizeHint().width() <= room; };
  lblSize->setFont(QFont());  // the window's own, where it fits
  const QFont full = lblSize->parentWidget()->font();
  for (int pixels = QFontInfo(full).pixelSize(); pixels >= kSmallestSizePixels && !fits();
       --pixels) {
    for (int spacing = 100; spacing >= 90 && !fits(); spacing -= 5) {
      QFont font = full;
      font.setPixelSize(pixels);
      font.setLetterSpacing(QFont::PercentageSpacing, spacing);
      lblSize->setFont(font);
    }
  }
  lblSize->adjustSize();
  // A smaller size keeps to the caption's line.
  const int lower = sizeCaption_->fontMetrics().ascent() - lblSize->fontMetrics().ascent();
  lblSize->move(kSizeRightEdge - lblSize->width(), kSizeTop + lower);
}

void TForm1::lstResultsClick() {
  lstResults->setEnabled(false);
  // Whatever happens below, the list comes back usable and focused.
  struct Reenable {
    TListBox* list;
    ~Reenable() {
      list->setEnabled(true);
      list->setFocus();
    }
  } reenable{lstResults};

  SetStatusText(QStringLiteral("preparing thumbnail..."));
  cmdRecSel->setEnabled(true);

  const QListWidgetItem* item = lstResults->SelectedItem();
  if (item == nullptr || DestinationOnSearchedDrive()) return;
  const std::string destination = EditDestPath->text().toStdString();
  const std::string storedName = item->text().toStdString();
  const std::string plainPath = PlainPath(destination, storedName);
  // A file the user already has under the plain name is left alone.
  const std::string expanded = PreviewCopyPath(plainPath);
  const bool ownCopy = expanded != plainPath;
  RecoverStoredFile(ZLIB, StoredPath(destination, storedName), expanded);

  const QString expandedName = QString::fromStdString(expanded);
  const QFileInfo info(expandedName);
  if (!info.isFile()) throw std::runtime_error("Cannot open file \"" + expanded + "\"");
  ShowFileSize(info.size());

  if (info.size() >= kPreviewSizeLimit) {
    SetStatusText(QStringLiteral("Filesize to big or file could be damaged."));
    if (ownCopy) DeleteFileQuietly(expanded);
    return;
  }
  TPreviewPicture picture;
  const bool loaded = LoadPreviewPicture(expandedName, picture);
  DeleteFileQuietly(expanded);
  if (!loaded) {
    SetStatusText(QStringLiteral("ERROR: Could not preview this file"));
    return;
  }
  imgPreview->setPixmap(QPixmap::fromImage(ComposePreview(picture, imgPreview->size())));
  SetStatusText(QStringLiteral("Ready"));
}

// Expands one entry to its plain file, paths from the destination as it reads now.
void TForm1::RecoverEntry(QListWidgetItem& item) {
  const std::string destination = EditDestPath->text().toStdString();
  const std::string storedName = item.text().toStdString();
  const std::string plainPath = PlainPath(destination, storedName);
  RecoverStoredFile(ZLIB, StoredPath(destination, storedName), plainPath);
  MarkRecovered(item);
  SetStatusText(QString::fromStdString(plainPath) + QStringLiteral(" was successfully restored"));
}

void TForm1::cmdRecSelClick() {
  if (DestinationOnSearchedDrive()) return;
  SetStatusText(QStringLiteral("restoring image..."));
  QListWidgetItem* item = lstResults->SelectedItem();
  if (item == nullptr) throw std::runtime_error("No image is selected");
  RecoverEntry(*item);
  cmdRecSel->setEnabled(true);
}

void TForm1::cmdRecAllClick() {
  if (DestinationOnSearchedDrive()) return;
  // Mend: the button went off with the focus on it, and the focus fell to the
  // tab bar. The list holds it meanwhile, and the button gets it back.
  const bool hadFocus = focusWidget() == cmdRecAll;
  if (hadFocus) lstResults->setFocus(Qt::OtherFocusReason);
  cmdRecAll->setEnabled(false);
  // Back on also when an entry fails and ends the loop.
  struct Reenable {
    QPushButton* button;
    bool focus;
    ~Reenable() {
      button->setEnabled(true);
      if (focus) button->setFocus(Qt::OtherFocusReason);
    }
  } reenable{cmdRecAll, hadFocus};

  const int count = lstResults->count();
  for (int i = 0; i < count; ++i) RecoverEntry(*lstResults->item(i));
}

bool TForm1::FormCloseQuery() {
  // Mend: found files never recovered went with their stored copies, unasked.
  return ConfirmDropUnrecovered(this, *lstResults, TDropMoment::Close);
}

void TForm1::FormClose() {
  // Only the stored files go; recovered plain files stay. Mend: each goes from
  // where it was written; joined with the destination text as it reads now, a
  // changed destination left them all behind and could reach another file.
  DropFoundFiles(*lstResults);
}

void TForm1::Button3Click() {
  if (DialogSelectDir != nullptr && DialogSelectDir->Execute()) {
    EditDestPath->setText(DialogSelectDir->SelectedPath);
  }
}

void TForm1::cmdRefreshClick() {
  ListBoxDrives->clear();
  EnumerateDrives();
}

// Mend: the guard of recover and preview judged the drive picked last, which
// need not be the one the listed files were searched on. Nothing listed:
// nothing can be written, so nothing to check.
bool TForm1::DestinationOnSearchedDrive() {
  if (lstResults->count() == 0) return false;
  return DestinationOnDrive(searchedPath_);
}

// Nothing may ever be written to the medium being searched: a destination on
// it would overwrite the very files to recover. Says so and answers true.
bool TForm1::DestinationOnDrive(const std::string& drivePath) {
  if (drivePath.empty()) return false;
  if (!DestinationOnSearchedMedium(EditDestPath->text().toStdString(), drivePath)) return false;
  ShowWarning(
      this, QStringLiteral("The destination folder is on the drive being searched. Writing there "
                           "would overwrite the files you want to recover. Please choose a folder "
                           "on another drive."));
  return true;
}
