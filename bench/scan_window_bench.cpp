// SPDX-License-Identifier: GPL-3.0-or-later
// The same scan through the real main window (offscreen or a display): the
// image is selected in the drive list as a user would, then Start is pressed.
#include <sys/resource.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/startup.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: scan_window_bench IMAGE DESTINATION\n");
    return 1;
  }
  static LinuxPlatform platform({argv[1]}, LinuxPlatform::TSourcesOnly{});
  InitDiskAccess(platform);
  SetUpApplication(app);
  TForm1 form(platform);
  form.show();
  std::filesystem::create_directories(argv[2]);
  form.EditDestPath->setText(QString::fromLocal8Bit(argv[2]));
  form.ListBoxDrives->setCurrentRow(0);
  form.ListBoxDrivesClick();

  const auto start = std::chrono::steady_clock::now();
  form.ButtonStart->click();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const double megabytes =
      double(form.DriveGeometry.TotalSectors) * form.DriveGeometry.BytesPerSector / 1e6;
  std::printf("window: %lld files, %.2f s, %.0f MB/s, peak %.1f MB\n",
              static_cast<long long>(form.lstResults->count()), seconds, megabytes / seconds,
              usage.ru_maxrss / 1024.0);
  DoneDiskAccess();
  return 0;
}
