// SPDX-License-Identifier: GPL-3.0-or-later
// The destination folder as a scan finds it before it reads anything: there
// and writable, missing, or there and unusable (with the system's reason).
#pragma once

#include <string>

enum class TDestinationState {
  Writable,
  Missing,   // no such folder (its parents may be missing too)
  Unusable,  // a file, a read-only file system, no rights...
};

// Tries for real: creates a file of its own in the folder and removes it
// again. access() judges by mode bits and mount flags alone, so it says yes
// to root where a folder is immutable, where NFS squashes root, or where a
// FUSE file system decides for itself. problem is the system's text
// (strerror) for why the folder is missing or unusable.
TDestinationState CheckDestinationFolder(const std::string& folder, std::string& problem);

// Makes the folder with its missing parents; empty on success, else why not.
std::string MakeDestinationFolder(const std::string& folder);
