// SPDX-License-Identifier: GPL-3.0-or-later
// One run of fernhollow-carve once its arguments are understood: checks the
// source and the destination, scans, then writes every stored file out to its
// plain name, as the window's "recover all images" does.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "cli/arguments.h"

constexpr int kExitComplete = 0;  // scanned to the end, every file written out
constexpr int kExitEarly = 1;     // ended early, or the source or destination failed
constexpr int kExitUsage = 2;     // bad arguments

// Why a destination may not be used; empty when it may. Asked before anything
// is written, so a refused folder is not even made. dest is absolute.
std::string DestinationRefusal(const std::string& dest, const std::string& source);

// Set by the signal handlers: stop ends the scan after the chunk being read
// (what was found is still written out); abort gives up the write-out too,
// leaving each file not yet written out as its stored copy.
struct TStopFlags {
  volatile std::sig_atomic_t stop = 0;
  volatile std::sig_atomic_t abort = 0;
};

// Returns the exit status. File paths go to out, everything else to err.
int RunCarve(const TCarveOptions& options, const TStopFlags& flags, std::FILE* out, std::FILE* err,
             bool errIsTerminal);
