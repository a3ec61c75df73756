// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the small text files of /sys and /proc that say what a device is.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The whole file; nothing when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path);

// Whether anything exists at path; an error counts as no.
bool Exists(const std::filesystem::path& path);
