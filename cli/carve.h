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

// Returns the exit status. stop is set by the signal handler; file paths go
// to out, everything else to err.
int RunCarve(const TCarveOptions& options, const volatile std::sig_atomic_t& stop, std::FILE* out,
             std::FILE* err, bool errIsTerminal);
