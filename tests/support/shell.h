// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers of the integration tests that drive system programs
// (losetup, nbdkit, udevadm).
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

// Polls until done() holds or the time is up; says whether it held.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// The program's path on PATH or in the system folders; empty when missing.
std::string FindProgram(const std::string& name);
// The text in single quotes for the shell.
std::string Quote(const std::string& text);
// Runs a shell command; its exit status, with stdout and stderr in output.
int Run(const std::string& command, std::string* output = nullptr);
std::string ReadText(const std::filesystem::path& path);
std::string Trim(std::string text);
// Waits until udev (where it runs, as on any desktop) has handled the events
// so far: it probes every new block device, and those reads are not the
// test's own.
void SettleUdev();
