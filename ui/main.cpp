// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: the disk unit, the toolkit, the main window, the event loop.
#include <sys/stat.h>
#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "ui/commandline.h"
#include "ui/dialogdir.h"
#include "ui/mainform.h"
#include "ui/modal.h"
#include "ui/startup.h"
#include "ui/udisksopener.h"

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
std::vector<std::string> ImageFiles(const std::vector<std::string>& named) {
  std::vector<std::string> images;
  for (const std::string& name : named) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0) {
      std::fprintf(stderr, "fernhollow: cannot use image %s: %s\n", name.c_str(),
                   std::strerror(errno));
    } else if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
      std::fprintf(stderr, "fernhollow: cannot use image %s: not a file or block device\n",
                   name.c_str());
    } else {
      images.push_back(name);
    }
  }
  return images;
}

}  // namespace

int main(int argc, char** argv) {
  const TCommandLine commandLine = ParseCommandLine(argc, argv);
  switch (commandLine.action) {
    case TCommandAction::Help:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case TCommandAction::Version:
      std::fputs(VersionText().c_str(), stdout);
      return 0;
    case TCommandAction::Fail:
      std::fprintf(stderr, "fernhollow: %s\nTry 'fernhollow --help' for more information.\n",
                   commandLine.error.c_str());
      return 2;
    case TCommandAction::Run:
      break;
  }
  if (!HasDisplay()) {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    std::fprintf(stderr, "fernhollow: %s\n", NoDisplayText(executable).c_str());
    return 1;
  }

  // The toolkit sees the program name only: every argument is read above, and
  // an image named like one of its options (-style) stays an image.
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  QApplication app(toolkitArgc, toolkitArgv);
  static LinuxPlatform platform(ImageFiles(commandLine.images));
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

  // Devices the user may not open are asked for through udisks2 and polkit.
  TUdisksOpener udisks;
  // While access is asked for, the drive panel says so; afterwards the status
  // bar and the panel show what they showed before, so a scan whose first read
  // asked says "Searching for images..." again.
  struct Asking {
    bool active = false;
    QString message;
    QString status;
  } asking;
  udisks.SetStatusDisplay([&form, &asking](const QString& text) {
    if (!text.isEmpty()) {
      if (!asking.active) asking = {true, form.SB->currentMessage(), form.LabelStatus->text()};
      form.SB->showMessage(text);
      form.LabelStatus->setText(QStringLiteral("asking..."));
    } else if (asking.active) {
      asking.active = false;
      form.SB->showMessage(asking.message);
      form.LabelStatus->setText(asking.status);
    }
  });
  platform.SetDeviceOpener(
      [&udisks](const std::string& path, std::string& why) { return udisks.Open(path, why); });
  struct ForgetOpener {
    LinuxPlatform& platform;
    ~ForgetOpener() { platform.SetDeviceOpener({}); }  // the platform outlives the opener
  } forgetOpener{platform};

  form.show();
  return QApplication::exec();
}
