// SPDX-License-Identifier: GPL-3.0-or-later
// The program's command line, read before the toolkit starts, so --help and
// --version answer without a display.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

enum class TCommandAction { Run, Help, Version, Fail };

struct TCommandLine {
  TCommandAction action = TCommandAction::Run;
  std::vector<std::string> images;  // Run: the image files, in order
  std::string error;                // Fail: what was wrong, for the message
};

// Arguments that begin with "-" are options, never images, up to a "--";
// every argument after "--" is an image. --help and --version win over an
// unknown option only when they come first.
TCommandLine ParseCommandLine(int argc, const char* const* argv);

std::string UsageText();
std::string VersionText();

// What to start it with where no display is: "./run" for a program built in
// the source tree (the executable lies in a CMake build folder), else the
// installed "fernhollow".
std::string NoDisplayText(const std::filesystem::path& executable);
