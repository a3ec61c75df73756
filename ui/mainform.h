// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: five tabs (Drive, Options, Search, Restore, Help) and a
// status bar, laid out at fixed pixel positions in a fixed-size window.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>

#include "compress/zlibtool.h"
#include "diskio/ldiskio.h"
#include "engine/filedet.h"
#include "engine/scanend.h"

class DiskPlatform;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class TAnimate;
class TDialogSelectDir;
class TElidedLabel;
class TListBox;
class TSpinEdit;

// The height of a row of the type grid, by which the window grew for its
// fourth row.
inline constexpr int kTypeRow = 24;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(DiskPlatform& platform, QWidget* parent = nullptr);
  ~TForm1() override;

  // The drive chosen last (1 = A:) and its geometry; the scan reads both.
  std::uint8_t DriveNumber = 0;
  TDriveGeometry DriveGeometry{};
  bool CancelRequested = false;

  // The file types searched for, kept current from the check boxes so the
  // detector never reads a widget.
  TSearchTypes SearchTypes;
  bool CheckFiles = false;  // kept current from chkCheckFiles, read by the scan at every sector

  // The clock a search's repaints, time left and duration go by.
  TScanClock Clock = &std::chrono::steady_clock::now;

  // The folder chooser, created at start-up after the window.
  TDialogSelectDir* DialogSelectDir = nullptr;

  // The one compressor the scan, the restore and the preview share.
  TZlibTool ZLIB;

  void FormCreate();
  void ListBoxDrivesClick();
  void cmdRefreshClick();
  void Button3Click();
  void ButtonStartClick();
  // Whether the destination lies on the drive the listed files were searched
  // on (said in a box when it does).
  bool DestinationOnSearchedDrive();
  void ButtonCancelClick();
  void lstResultsClick();
  void cmdRecSelClick();
  void cmdRecAllClick();
  // Asks before found files that were never recovered go; true to close.
  bool FormCloseQuery();
  void FormClose();
  void TabSheet5Show();
  void TabSheet5Enter();
  bool Scanning() const { return scanning_; }
  // Shows "<size> Bytes" in lblSize, right edge fixed, clear of its caption.
  void ShowFileSize(qint64 size);
  // "of <total>" and, once known, "Time left: m:ss" right after the current
  // sector's number; empty text hides it.
  void ShowTimeLeft(const QString& text);
  // The line that says how the last search ended; elided to its room, whole
  // in its tooltip.
  void ShowSearchEnd(const QString& text);

  // Controls, named as their objectName.
  QTabWidget* PageControl = nullptr;
  QStatusBar* SB = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QWidget* TabSheet3 = nullptr;
  QWidget* TabSheet4 = nullptr;
  QWidget* TabSheet5 = nullptr;

  TListBox* ListBoxDrives = nullptr;
  QPushButton* cmdRefresh = nullptr;
  QLabel* LabelMedia = nullptr;
  QLabel* LabelBytesPerSec = nullptr;
  QLabel* LabelCapacity = nullptr;
  QLabel* LabelStatus = nullptr;
  TElidedLabel* LabelDevice = nullptr;  // which device or image file the drive is

  QLineEdit* EditDestPath = nullptr;
  QLineEdit* EditFilenamePrefix = nullptr;
  TSpinEdit* SpinEditRetryCount = nullptr;
  TSpinEdit* SpinEditSecAtOnce = nullptr;
  QPushButton* Button3 = nullptr;
  QCheckBox* chkJPG = nullptr;
  QCheckBox* chkBMP = nullptr;
  QCheckBox* chkGIF = nullptr;
  QCheckBox* chkTIF = nullptr;
  QCheckBox* chkMOV = nullptr;
  QCheckBox* chkAVI = nullptr;
  QCheckBox* chkPNG = nullptr;
  QCheckBox* chkRIFF = nullptr;
  QCheckBox* chkWAV = nullptr;
  QCheckBox* chkOther = nullptr;
  QCheckBox* chkCheckFiles = nullptr;

  TAnimate* Animate1 = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QLabel* LabelImagesFound = nullptr;
  QLabel* LabelReadErrors = nullptr;
  QLabel* LabelCurrentSector = nullptr;
  QLabel* LabelTimeLeft = nullptr;
  QLabel* LabelSearchEnd = nullptr;
  QPushButton* ButtonStart = nullptr;
  QPushButton* ButtonCancel = nullptr;

  TListBox* lstResults = nullptr;
  QLabel* imgPreview = nullptr;
  QLabel* lblSize = nullptr;
  QPushButton* cmdRecSel = nullptr;
  QPushButton* cmdRecAll = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QGroupBox* AddTab(QWidget*& sheet, const char* name, const QString& caption, int iconIndex);
  void BuildDriveTab(QWidget* frame);
  void BuildOptionsTab(QWidget* frame);
  QCheckBox* AddTypeBox(QWidget* frame, const char* name, const QRect& geometry,
                        const QString& caption, bool TSearchTypes::*flag);
  void BuildSearchTab(QWidget* frame);
  void BuildRestoreTab(QWidget* frame);
  void EnumerateDrives();
  bool DestinationOnDrive(const std::string& drivePath);
  void SetStatusText(const QString& text);
  void RecoverEntry(QListWidgetItem& item);
  void PageChanged(int index);

  DiskPlatform& platform_;
  std::string searchedPath_;       // the device or image of the last search
  QLabel* sizeCaption_ = nullptr;  // "Filesize:"
  bool centred_ = false;
  bool scanning_ = false;
  bool closeRequested_ = false;  // held while a scan runs
  // The Help page runs its show handler before its focus handler, whichever
  // order the toolkit delivers the two in.
  bool helpShown_ = false;
  bool helpEnterPending_ = false;
};
