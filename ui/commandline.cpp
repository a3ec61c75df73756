// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/commandline.h"

#include <system_error>

#ifndef FH_VERSION
#define FH_VERSION "unknown"
#endif

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  TCommandLine result;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (!options || argument.empty() || argument[0] != '-') {
      result.images.push_back(argument);
    } else if (argument == "--") {
      options = false;
    } else if (argument == "-h" || argument == "--help") {
      result.action = TCommandAction::Help;
      return result;
    } else if (argument == "--version") {
      result.action = TCommandAction::Version;
      return result;
    } else {
      result.action = TCommandAction::Fail;
      result.error = "unknown option '" + argument + "'";
      return result;
    }
  }
  return result;
}

std::string UsageText() {
  return "Usage: fernhollow [OPTION]... [--] [IMAGE]...\n"
         "Brings back the photos, movies and sound files of camera memory cards.\n"
         "\n"
         "Every block device of the machine is listed as a drive, and so is each\n"
         "IMAGE (a card image file or a block device) named here.\n"
         "\n"
         "  -h, --help     show this help and exit\n"
         "      --version  show the version and exit\n"
         "      --         end of options: every argument after it is an IMAGE\n"
         "\n"
         "The window needs a display. The manual page: man fernhollow\n";
}

std::string VersionText() {
  return "fernhollow " FH_VERSION
         "\n"
         "License GPL-3.0-or-later <https://gnu.org/licenses/gpl.html>.\n"
         "This is free software: you are free to change and redistribute it.\n"
         "There is NO WARRANTY, to the extent permitted by law.\n";
}

std::string NoDisplayText(const std::filesystem::path& executable) {
  // A build folder holds CMakeCache.txt at its top and the program somewhere
  // below it (build/ui/fernhollow); an installed program has none above it.
  std::string command = "fernhollow";
  std::error_code error;
  for (std::filesystem::path folder = executable.parent_path();
       !folder.empty() && folder != folder.root_path(); folder = folder.parent_path()) {
    if (std::filesystem::exists(folder / "CMakeCache.txt", error)) {
      command = "./run";
      break;
    }
  }
  return "no display (DISPLAY is not set); start it from a desktop session, or in a "
         "virtual one: xvfb-run " +
         command + " [IMAGE...]";
}
