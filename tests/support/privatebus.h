// SPDX-License-Identifier: GPL-3.0-or-later
// A private D-Bus daemon for tests, and the processes a test starts on it
// (the fake udisks2). Each process is ended by its destructor, whatever the
// test's outcome. Needs the dbus-daemon program (Debian: dbus-daemon).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// A program run in the background with extra environment entries, known to
// be up once it printed its first line.
class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Starts argv (argv[0] looked up on PATH) and waits up to 10 s for the
  // first line it writes to its standard output. False with Problem() set.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
  const std::string& FirstLine() const { return firstLine_; }
  const std::string& Problem() const { return problem_; }
  // Ends the process (SIGTERM, then SIGKILL) and reaps it.
  void Stop();

 private:
  pid_t pid_ = -1;
  int out_ = -1;  // kept open, so a later line does not kill the writer
  std::string firstLine_;
  std::string problem_;
};

// A bus like a session bus, listening on a socket in dir, that lets any user
// connect, own any name and call anything.
class TPrivateBus {
 public:
  static std::string MissingPrerequisite();  // empty when dbus-daemon can run

  explicit TPrivateBus(const std::filesystem::path& dir);
  bool Running() const { return !address_.empty(); }
  const std::string& Address() const { return address_; }
  const std::string& Problem() const { return daemon_.Problem(); }

 private:
  TChildProcess daemon_;
  std::string address_;
};
