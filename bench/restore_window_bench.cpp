// SPDX-License-Identifier: GPL-3.0-or-later
// Restore and preview through the real main window: a card image is scanned
// (selected and started as a user would), then "recover all images" is timed,
// first into an empty folder and then over the files it wrote; then the
// preview of a 12-megapixel photo of about 1.5 MB, from the selection to the
// picture on screen.
#include <unistd.h>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "tests/support/samplecard.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/startup.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t PlainBytes(const TForm1& form, const fs::path& dir) {
  std::uint64_t total = 0;
  for (int i = 0; i < form.lstResults->count(); ++i)
    total += fs::file_size(dir / form.lstResults->item(i)->text().toStdString());
  return total;
}

// A 12-megapixel photo just under 1.5 MB, or as close as the quality steps allow.
std::vector<std::uint8_t> TwelveMegapixelPhoto() {
  std::vector<std::uint8_t> best;
  for (int quality = 95; quality >= 40; quality -= 5) {
    best = EncodeJpeg(4000, 3000, true, 7, quality);
    if (best.size() <= 1500000) break;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: restore_window_bench IMAGE DESTINATION\n");
    return 1;
  }
  static LinuxPlatform platform({argv[1]}, LinuxPlatform::TSourcesOnly{});
  InitDiskAccess(platform);
  SetUpApplication(app);
  const fs::path dir = argv[2];
  fs::create_directories(dir);
  {
    TForm1 form(platform);
    form.show();
    form.EditDestPath->setText(QString::fromStdString(dir.string() + "/"));
    form.ListBoxDrives->setCurrentRow(0);
    form.ListBoxDrivesClick();
    form.ButtonStart->click();
    sync();

    for (const char* round : {"into an empty folder", "over the files it wrote"}) {
      const auto start = Clock::now();
      form.cmdRecAll->click();
      const double seconds = Since(start);
      const double bytes = static_cast<double>(PlainBytes(form, dir));
      std::printf("recover all %s: %d files, %.0f MB in %.2f s, %.2f GB/s\n", round,
                  form.lstResults->count(), bytes / 1e6, seconds, bytes / 1e9 / seconds);
    }
    form.close();  // the stored files go
    for (int i = 0; i < form.lstResults->count(); ++i)
      fs::remove(dir / form.lstResults->item(i)->text().toStdString());
  }

  // The preview: the photo stored as a scan would leave it, then selected.
  TForm1 form(platform);
  form.show();
  form.EditDestPath->setText(QString::fromStdString(dir.string() + "/"));
  const std::vector<std::uint8_t> photo = TwelveMegapixelPhoto();
  const fs::path plain = dir / "photo12mp.JPG";
  std::ofstream(plain, std::ios::binary)
      .write(reinterpret_cast<const char*>(photo.data()),
             static_cast<std::streamsize>(photo.size()));
  form.ZLIB.InputFile = plain.string();
  form.ZLIB.OutputFile = plain.string() + ".rdf";
  form.ZLIB.Compress();
  fs::remove(plain);
  form.lstResults->addItem(QStringLiteral("photo12mp.JPG"));
  std::vector<double> times;
  for (int i = 0; i < 21; ++i) {
    form.imgPreview->clear();
    QApplication::processEvents();
    const auto start = Clock::now();
    form.lstResults->setCurrentRow(0);
    emit form.lstResults->UserSelected();
    form.imgPreview->repaint();  // the picture on screen
    times.push_back(Since(start) * 1000);
    if (form.SB->currentMessage() != QLatin1String("Ready")) {
      std::fprintf(stderr, "preview failed: %s\n", qPrintable(form.SB->currentMessage()));
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "preview of a 4000x3000 photo of %zu bytes: median %.1f ms, best %.1f ms, worst %.1f ms\n",
      photo.size(), times[times.size() / 2], times.front(), times.back());
  // The stored file goes. Never recovered, it would make close() ask first.
  form.FormClose();
  DoneDiskAccess();
  return 0;
}
