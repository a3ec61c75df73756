// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/privatebus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

constexpr int kStartTimeoutMs = 10000;

std::string Key(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// The program's path, looked up on PATH as a shell would.
std::string Locate(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return program;
}

}  // namespace

bool TChildProcess::Start(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extraEnv) {
  Stop();
  std::vector<std::string> env(extraEnv);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    bool replaced = false;
    for (const std::string& extra : extraEnv) replaced = replaced || Key(extra) == Key(text);
    if (!replaced) env.push_back(text);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  const std::string program = Locate(argv[0]);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    problem_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // Ends with the test, even one that crashed before its destructors ran.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::execve(program.c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  out_ = pipeFds[0];
  if (pid < 0) {
    problem_ = argv[0] + ": " + std::strerror(errno);
    return false;
  }
  pid_ = pid;

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{out_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      problem_ = argv[0] + " did not start in time";
      Stop();
      return false;
    }
    char c = 0;
    if (::read(out_, &c, 1) != 1) {
      problem_ = argv[0] + " ended before it was up";
      Stop();
      return false;
    }
    if (c == '\n') break;
    line += c;
  }
  firstLine_ = line;
  return true;
}

void TChildProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

std::string TPrivateBus::MissingPrerequisite() {
  if (std::system("dbus-daemon --version > /dev/null 2>&1") != 0) {
    return "needs dbus-daemon (Debian: dbus-daemon)";
  }
  return {};
}

TPrivateBus::TPrivateBus(const std::filesystem::path& dir) {
  const std::filesystem::path config = dir / "bus.conf";
  std::string text = R"(<busconfig>
  <type>session</type>
  <listen>unix:path=SOCKET</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
  text.replace(text.find("SOCKET"), 6, (dir / "bus").string());
  std::ofstream(config) << text;
  if (daemon_.Start(
          {"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--print-address=1"})) {
    address_ = daemon_.FirstLine();
  }
}
