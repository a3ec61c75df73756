// Program entry: the disk unit, the toolkit, the main window, the event loop.
#include <sys/stat.h>
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "ui/dialogdir.h"
#include "ui/mainform.h"
#include "ui/modal.h"
#include "ui/startup.h"

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Image files named on the command line become drives; one that cannot be
// used is reported and left out rather than listed as a drive that never works.
std::vector<std::string> ImageFiles(int argc, char** argv) {
  std::vector<std::string> images;
  for (int i = 1; i < argc; ++i) {
    struct stat info {};
    if (stat(argv[i], &info) != 0) {
      std::fprintf(stderr, "fernhollow: cannot use image %s: %s\n", argv[i], std::strerror(errno));
    } else if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
      std::fprintf(stderr, "fernhollow: cannot use image %s: not a file or block device\n",
                   argv[i]);
    } else {
      images.emplace_back(argv[i]);
    }
  }
  return images;
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "fernhollow: no display (DISPLAY is not set); start it from a desktop "
                 "session, or in a virtual one: xvfb-run ./run [IMAGE...]\n");
    return 1;
  }

  // The toolkit comes first here: it takes its own options out of argv, and the
  // disk unit's drives are the image files that remain.
  QApplication app(argc, argv);
  static LinuxPlatform platform(ImageFiles(argc, argv));
  InitDiskAccess(platform, [](const std::string& caption, const std::string& text, unsigned) {
    TMessageRequest request;
    request.title = QString::fromStdString(caption);
    request.text = QString::fromStdString(text);
    request.icon = TMsgIcon::Warning;
    Modal().Message(nullptr, request);
  });

  SetUpApplication(app);
  TForm1 form(platform);
  TDialogSelectDir dialogSelectDir;
  form.DialogSelectDir = &dialogSelectDir;
  form.show();
  return QApplication::exec();
}
