// SPDX-License-Identifier: GPL-3.0-or-later
// fernhollow-carve: the scan of the window as a batch command, for scripts,
// servers and machines without a display.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/carve.h"

namespace {

TStopFlags stopFlags;

void OnStopSignal(int) {
  // The first signal stops the scan at its next chunk; the second gives up
  // the write-out between two blocks (cleanly: see RunCarve); a third finds
  // the default action back and ends the program at once.
  if (stopFlags.stop == 0) {
    stopFlags.stop = 1;
    return;
  }
  stopFlags.abort = 1;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART keeps a write to a pipe from losing a line to the interruption.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away (`| head`) must not kill the program between a
  // file's write-out and the removal of its stored copy.
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  const TParsedArguments parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
  switch (parsed.action) {
    case TParsedArguments::TAction::Help:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case TParsedArguments::TAction::Version:
      std::fputs(VersionText().c_str(), stdout);
      return 0;
    case TParsedArguments::TAction::Error:
      std::fprintf(stderr,
                   "fernhollow-carve: %s\nTry 'fernhollow-carve --help' for more information.\n",
                   parsed.error.c_str());
      return kExitUsage;
    case TParsedArguments::TAction::Carve:
      break;
  }
  InstallSignalHandlers();
  return RunCarve(parsed.options, stopFlags, stdout, stderr, ::isatty(STDERR_FILENO) == 1);
}
