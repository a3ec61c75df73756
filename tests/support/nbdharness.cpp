// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/nbdharness.h"
#include "tests/support/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr long kFuseSuperMagic = 0x65735546;
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);

bool IsFuseMount(const fs::path& path) {
  struct statfs info {};
  return ::statfs(path.c_str(), &info) == 0 && info.f_type == kFuseSuperMagic;
}

// Alive and not a zombie.
bool Running(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  return stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

// The ddrescue mapfile: one '+' range between bad runs (the filter fails any
// read that is not inside a single finished range), '-' for each bad run.
std::string MapFile(std::vector<std::uint32_t> bad, std::uint64_t imageBytes) {
  std::sort(bad.begin(), bad.end());
  bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
  std::string text = "# Mapfile of a card with bad sectors\n0x0 + 1\n";
  const auto line = [&text](std::uint64_t at, std::uint64_t size, char status) {
    if (size == 0) return;
    char buffer[80];
    std::snprintf(buffer, sizeof(buffer), "0x%llx\t0x%llx\t%c\n",
                  static_cast<unsigned long long>(at), static_cast<unsigned long long>(size),
                  status);
    text += buffer;
  };
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < bad.size();) {
    std::size_t last = i;
    while (last + 1 < bad.size() && bad[last + 1] == bad[last] + 1) ++last;
    const std::uint64_t from = std::uint64_t{bad[i]} * TNbdHarness::kSectorBytes;
    const std::uint64_t to = (std::uint64_t{bad[last]} + 1) * TNbdHarness::kSectorBytes;
    line(at, from - at, '+');
    line(from, to - from, '-');
    at = to;
    i = last + 1;
  }
  if (imageBytes > at) line(at, imageBytes - at, '+');
  return text;
}

}  // namespace

std::string TNbdHarness::MissingPrerequisite() {
  if (::geteuid() != 0) return "needs root";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) return "needs /dev/loop-control";
  for (const char* program : {"nbdkit", "nbdfuse", "fusermount3", "losetup"}) {
    if (FindProgram(program).empty()) {
      return std::string("needs ") + program + " (Debian: nbdkit libnbd-bin fuse3 util-linux)";
    }
  }
  if (Run(Quote(FindProgram("nbdkit")) + " --filter=ddrescue --filter=log null --dump-plugin") !=
      0) {
    return "needs nbdkit's ddrescue and log filters";
  }
  return {};
}

TNbdHarness::TNbdHarness(const fs::path& image, const std::vector<std::uint32_t>& badSectors,
                         const fs::path& workDir)
    : workDir_(workDir),
      mapFile_(workDir / "card.map"),
      serverLog_(workDir / "nbdkit.log"),
      outputLog_(workDir / "nbdfuse.out"),
      fusePidFile_(workDir / "nbdfuse.pid"),
      serverPidFile_(workDir / "nbdkit.pid"),
      mountPoint_(workDir / "mnt"),
      servedFile_(mountPoint_ / "card") {
  std::error_code error;
  const std::uintmax_t bytes = fs::file_size(image, error);
  if (error) {
    problem_ = "cannot read the image " + image.string();
    return;
  }
  std::ofstream(mapFile_, std::ios::binary) << MapFile(badSectors, bytes);
  if (StartServer(image)) AttachLoop();
}

TNbdHarness::~TNbdHarness() {
  DetachLoop();
  Unmount();
  StopProcesses();
}

bool TNbdHarness::StartServer(const fs::path& image) {
  const std::string nbdfuse = FindProgram("nbdfuse");
  fs::create_directories(mountPoint_);
  // Read-only at every layer; nbdkit leaves with nbdfuse.
  const std::vector<std::string> args = {nbdfuse,
                                         "--readonly",
                                         "--pidfile",
                                         fusePidFile_.string(),
                                         servedFile_.string(),
                                         "[",
                                         FindProgram("nbdkit"),
                                         "--exit-with-parent",
                                         "--readonly",
                                         "--pidfile",
                                         serverPidFile_.string(),
                                         "--filter=log",
                                         "--filter=ddrescue",
                                         "file",
                                         "file=" + image.string(),
                                         "ddrescue-mapfile=" + mapFile_.string(),
                                         "logfile=" + serverLog_.string(),
                                         "]"};
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const std::string output = outputLog_.string();

  fusePid_ = ::fork();
  if (fusePid_ < 0) {
    problem_ = "fork failed";
    return false;
  }
  if (fusePid_ == 0) {
    // Should the test die without its destructors, nbdfuse goes too.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in >= 0) ::dup2(in, 0);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  bool exited = false;
  const bool ready = WaitFor(
      [&] {
        int status = 0;
        if (::waitpid(fusePid_, &status, WNOHANG) == fusePid_) {
          exited = true;
          fusePid_ = -1;
          return true;
        }
        struct stat info {};
        return !Trim(ReadText(fusePidFile_)).empty() && IsFuseMount(mountPoint_) &&
               ::stat(servedFile_.c_str(), &info) == 0;
      },
      kStartTimeout);
  mounted_ = IsFuseMount(mountPoint_);
  if (exited || !ready) {
    problem_ =
        std::string(exited ? "nbdfuse exited" : "nbdfuse did not come up") + ": " + LogTail();
    return false;
  }
  return true;
}

bool TNbdHarness::AttachLoop() {
  std::string output;
  const int status = Run(Quote(FindProgram("losetup")) +
                             " --read-only --direct-io=on --sector-size 512 --find --show " +
                             Quote(servedFile_.string()),
                         &output);
  // The device is the last line; warnings (such as direct I/O refused) come before it.
  std::string last;
  std::stringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("/dev/loop", 0) == 0) last = Trim(line);
  }
  if (status != 0 || last.empty()) {
    problem_ = "losetup failed: " + output;
    return false;
  }
  device_ = last;
  // The sysfs entries appear with the attachment; wait for them to settle,
  // and for udev's probe of the new device to be over.
  WaitFor([this] { return !SysfsValue("loop/backing_file").empty(); }, std::chrono::seconds(2));
  SettleUdev();
  if (!output.empty() && Trim(output) != last) problem_ = "losetup: " + Trim(output);
  return true;
}

void TNbdHarness::DetachLoop() {
  if (device_.empty()) return;
  Run(Quote(FindProgram("losetup")) + " --detach " + Quote(device_));
  // Detaching is deferred while the device is open; the mount stays busy until it is done.
  WaitFor([this] { return SysfsValue("loop/backing_file").empty(); }, kStopTimeout);
  device_.clear();
}

void TNbdHarness::Unmount() {
  if (!mounted_ && !IsFuseMount(mountPoint_)) return;
  const std::string unmount =
      Quote(FindProgram("fusermount3")) + " -u " + Quote(mountPoint_.string());
  const bool done = WaitFor(
      [&] { return !IsFuseMount(mountPoint_) || (Run(unmount) == 0 && !IsFuseMount(mountPoint_)); },
      kStopTimeout);
  if (!done) {
    // Still busy: take it out of the tree now, the kernel lets go when it can.
    Run(Quote(FindProgram("fusermount3")) + " -u -z " + Quote(mountPoint_.string()));
  }
  mounted_ = false;
}

void TNbdHarness::StopProcesses() {
  // nbdkit's process id, read while nbdfuse (its parent) still holds it.
  pid_t server = -1;
  const std::string serverText = Trim(ReadText(serverPidFile_));
  if (!serverText.empty()) server = static_cast<pid_t>(std::atol(serverText.c_str()));

  if (fusePid_ > 0) {
    int status = 0;
    bool gone =
        WaitFor([&] { return ::waitpid(fusePid_, &status, WNOHANG) == fusePid_; }, kStopTimeout);
    if (!gone) {
      ::kill(fusePid_, SIGTERM);
      gone = WaitFor([&] { return ::waitpid(fusePid_, &status, WNOHANG) == fusePid_; },
                     std::chrono::seconds(2));
    }
    if (!gone) {
      ::kill(fusePid_, SIGKILL);
      ::waitpid(fusePid_, &status, 0);
    }
    fusePid_ = -1;
  }
  if (IsFuseMount(mountPoint_)) {
    Run(Quote(FindProgram("fusermount3")) + " -u -z " + Quote(mountPoint_.string()));
  }

  // nbdkit leaves with its parent; make sure of it, and that the number is still nbdkit's.
  if (server > 0 && !WaitFor([&] { return !Running(server); }, kStopTimeout)) {
    const std::string command = ReadText("/proc/" + std::to_string(server) + "/cmdline");
    if (command.find("nbdkit") != std::string::npos) ::kill(server, SIGKILL);
  }
}

std::string TNbdHarness::SysfsValue(const std::string& relative) const {
  if (device_.empty()) return {};
  return Trim(ReadText(fs::path("/sys/block") / fs::path(device_).filename() / relative));
}

bool TNbdHarness::DirectIo() const {
  return SysfsValue("loop/dio") == "1";
}

std::uint32_t TNbdHarness::LogicalBlockSize() const {
  return static_cast<std::uint32_t>(std::atol(SysfsValue("queue/logical_block_size").c_str()));
}

int TNbdHarness::FailedReads() const {
  // The log filter writes a request's end as "...Read id=N return=-1 error=EIO".
  std::ifstream in(serverLog_);
  int failed = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("...Read ") != std::string::npos && line.find("return=-1") != std::string::npos) {
      ++failed;
    }
  }
  return failed;
}

std::optional<std::vector<std::uint8_t>> TNbdHarness::ReadSectorDirect(std::uint64_t sector) const {
  const int fd = ::open(device_.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  void* raw = nullptr;
  if (::posix_memalign(&raw, 4096, kSectorBytes) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  std::unique_ptr<void, decltype(&std::free)> buffer(raw, &std::free);
  ssize_t n;
  do {
    n = ::pread(fd, raw, kSectorBytes, static_cast<off_t>(sector * kSectorBytes));
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n != static_cast<ssize_t>(kSectorBytes)) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(raw);
  return std::vector<std::uint8_t>(bytes, bytes + kSectorBytes);
}

std::string TNbdHarness::LogTail() const {
  std::string text = Trim(ReadText(outputLog_));
  if (text.size() > 600) text = "..." + text.substr(text.size() - 600);
  return text.empty() ? "(no output)" : text;
}
