// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of fernhollow-carve: what it asks for, or why it cannot be
// understood. Parsing looks at nothing but the words, so it never touches a
// file or device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/filedet.h"

struct TCarveOptions {
  std::string source;  // device or image file
  std::string dest;    // folder the files go to
  TSearchTypes types;  // JPG only unless --types
  bool check = false;
  int retries = 1;
  std::optional<int> sectorsAtOnce;  // unset: a hundredth of the source, as the window sets it
  std::string prefix = "recovered";
  bool keepStored = false;
};

struct TParsedArguments {
  enum class TAction { Carve, Help, Version, Error };
  TAction action = TAction::Error;
  TCarveOptions options;
  std::string error;  // for Error: one line, without the program's name
};

TParsedArguments ParseArguments(const std::vector<std::string>& arguments);

// Parses "jpg,BMP,..." or "all"; false on an unknown or empty name.
bool ParseTypeList(const std::string& list, TSearchTypes& types, std::string& badName);

std::string UsageText();
std::string VersionText();
