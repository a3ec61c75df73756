// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/samemedium.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include "diskio/smallfiles.h"
#include "diskio/sysfs.h"

namespace fs = std::filesystem;

namespace {

// Deeper stacks than this only occur in a broken or hostile tree.
constexpr int kMaxDepth = 16;

struct MountEntry {
  std::string fsType;
  std::string source;
  std::string mountPoint;
};

std::optional<fs::path> Canonical(const fs::path& path) {
  std::error_code error;
  fs::path real = fs::canonical(path, error);
  if (error) return std::nullopt;
  return real;
}

// lexically_normal keeps a trailing separator ("m/"); drop it so paths compare.
fs::path Normal(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string Unescape(std::string_view field) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= line.size()) {
    const std::size_t end = std::min(line.find(separator, start), line.size());
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// Whether tail names the last components of whole ("x/m" of "/tmp/x/m").
bool IsTail(const fs::path& whole, const fs::path& tail) {
  const std::vector<fs::path> wholeParts(whole.begin(), whole.end());
  const std::vector<fs::path> tailParts(tail.begin(), tail.end());
  if (tailParts.empty() || tailParts.size() > wholeParts.size()) return false;
  for (const fs::path& part : tailParts) {
    if (part == ".." || part == "." || part.empty()) return false;
  }
  return std::equal(tailParts.rbegin(), tailParts.rend(), wholeParts.rbegin());
}

// Collects what a file system or a searched drive stands on: whole disks (by
// their sysfs directory) and image files (by device and inode).
class TMediumResolver {
 public:
  // followImages: also collect what an image file itself lies on. Writes into
  // a loop-mounted image reach the disk that holds it; a searched image is
  // only read, so writing beside it is fine.
  TMediumResolver(const TMediumPaths& paths, bool followImages)
      : paths_(paths), followImages_(followImages) {}

  const std::set<std::string>& Keys() const { return keys_; }

  // The file system whose files carry st_dev == device.
  void AddFileSystem(dev_t device, int depth) {
    if (depth > kMaxDepth || !fileSystemsSeen_.insert(device).second) return;
    if (const std::optional<fs::path> dir = DeviceDirOf(paths_.sysDevBlock, device)) {
      AddBlockDevice(*dir, depth);
      return;
    }
    // No block device behind it: its mount source tells what it was mounted from.
    const std::vector<MountEntry> mounts = MountsOf(device);
    bool resolved = false;
    bool fuse = false;
    for (const MountEntry& mount : mounts) {
      fuse = fuse || mount.fsType == "fuse" || mount.fsType.starts_with("fuse.") ||
             mount.fsType == "fuseblk";
      // Relative sources ("fusefat", "tmpfs") name no file; never look them up here.
      if (fs::path(mount.source).is_absolute()) resolved |= AddPath(mount.source, depth + 1);
    }
    if (resolved || !fuse) return;
    for (const std::string& file : DaemonFiles(device, mounts)) AddPath(file, depth + 1);
  }

  // A device node, an image file, or a link to either. Returns whether it
  // named something.
  bool AddPath(const std::string& path, int depth) {
    if (depth > kMaxDepth) return false;
    struct stat info {};
    const bool known = ::stat(path.c_str(), &info) == 0;
    if (known && S_ISBLK(info.st_mode)) {
      if (const std::optional<fs::path> dir = DeviceDirOf(paths_.sysDevBlock, info.st_rdev)) {
        AddBlockDevice(*dir, depth);
        return true;
      }
    }
    // A node under the device directory also resolves by name, present or not.
    if (const std::optional<fs::path> dir = SysDirOfNodeName(path)) {
      AddBlockDevice(*dir, depth);
      return true;
    }
    if (!known || !S_ISREG(info.st_mode)) return false;
    keys_.insert("file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino));
    if (followImages_) AddFileSystem(info.st_dev, depth + 1);
    return true;
  }

 private:
  void AddBlockDevice(const fs::path& sysDir, int depth) {
    if (depth > kMaxDepth) return;
    const fs::path whole = WholeDiskDir(sysDir);
    if (!keys_.insert("disk " + whole.string()).second) return;
    for (const fs::path& lower : SlaveDirs(whole)) AddBlockDevice(lower, depth + 1);
    const std::string backing = LoopBackingFile(whole);
    if (!backing.empty()) AddPath(backing, depth + 1);
  }

  std::optional<fs::path> SysDirOfNodeName(const std::string& path) const {
    const fs::path node = Normal(path);
    if (node.parent_path() != Normal(paths_.devDir) || !node.has_filename()) return std::nullopt;
    return Canonical(fs::path(paths_.sysClassBlock) / node.filename());
  }

  std::vector<MountEntry> MountsOf(dev_t device) const {
    std::vector<MountEntry> mounts;
    std::ifstream in(paths_.mountInfo);
    const std::string number = DeviceNumberText(device);
    std::string line;
    while (std::getline(in, line)) {
      // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS
      const std::vector<std::string_view> fields = Fields(line, ' ');
      if (fields.size() < 10 || fields[2] != number) continue;
      const auto dash = std::find(fields.begin() + 6, fields.end(), "-");
      if (std::distance(dash, fields.end()) < 3) continue;
      mounts.push_back({Unescape(dash[1]), Unescape(dash[2]), Unescape(fields[4])});
    }
    return mounts;
  }

  // The device nodes and image files held open by the daemon serving this
  // FUSE file system. The kernel names a /dev/fuse descriptor's connection in
  // its fdinfo on recent kernels; older ones do not, and there the daemon is
  // the /dev/fuse holder that was given the mount point on its command line.
  std::vector<std::string> DaemonFiles(dev_t device, const std::vector<MountEntry>& mounts) const {
    // The connection number is the file system's device in the kernel's encoding.
    const unsigned long connection =
        (static_cast<unsigned long>(major(device)) << 20) | minor(device);
    const std::string fuseNode = Normal(fs::path(paths_.devDir) / "fuse").string();
    std::vector<std::string> files;
    std::error_code error;
    for (fs::directory_iterator it(paths_.procDir, error), end; !error && it != end;
         it.increment(error)) {
      const std::string pid = it->path().filename().string();
      if (pid.empty() || !std::all_of(pid.begin(), pid.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; })) {
        continue;
      }
      bool holdsFuse = false;
      bool namesConnection = false;
      bool ours = false;
      std::vector<std::string> held;
      std::error_code fdError;
      for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
           fd.increment(fdError)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(fd->path(), linkError);
        if (!linkError && target == fuseNode) {
          holdsFuse = true;
          const std::optional<unsigned long> id =
              FuseConnection(it->path() / "fdinfo" / fd->path().filename());
          namesConnection = namesConnection || id.has_value();
          ours = ours || id == connection;
          continue;
        }
        struct stat info {};
        if (::stat(fd->path().c_str(), &info) == 0 &&
            (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))) {
          held.push_back(fd->path().string());
        }
      }
      if (!holdsFuse) continue;
      if (ours || (!namesConnection && NamesMountPoint(it->path(), mounts))) {
        files.insert(files.end(), held.begin(), held.end());
      }
    }
    return files;
  }

  static std::optional<unsigned long> FuseConnection(const fs::path& fdinfo) {
    const std::optional<std::string> text = ReadSmallFile(fdinfo);
    if (!text) return std::nullopt;
    constexpr std::string_view kKey = "fuse_connection:";
    for (std::string_view line : Fields(*text, '\n')) {
      if (!line.starts_with(kKey)) continue;
      line.remove_prefix(kKey.size());
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      unsigned long value = 0;
      const auto [stop, failure] = std::from_chars(line.data(), line.data() + line.size(), value);
      if (failure == std::errc{} && stop != line.data()) return value;
    }
    return std::nullopt;
  }

  // Whether the process was given one of the mount points as an argument. A
  // daemon usually changes to "/" once mounted, so a relative argument also
  // counts when it names the mount point's last components.
  static bool NamesMountPoint(const fs::path& processDir, const std::vector<MountEntry>& mounts) {
    const std::optional<std::string> cmdline = ReadSmallFile(processDir / "cmdline");
    if (!cmdline) return false;
    std::error_code error;
    const fs::path cwd = fs::read_symlink(processDir / "cwd", error);
    const std::vector<std::string_view> args = Fields(*cmdline, '\0');
    for (std::size_t i = 1; i < args.size(); ++i) {  // args[0] is the program
      if (args[i].empty()) continue;
      const fs::path arg = Normal(fs::path(args[i]));
      for (const MountEntry& mount : mounts) {
        const fs::path point = Normal(mount.mountPoint);
        if (arg.is_absolute() ? arg == point
                              : (!error && Normal(cwd / arg) == point) || IsTail(point, arg)) {
          return true;
        }
      }
    }
    return false;
  }

  const TMediumPaths& paths_;
  bool followImages_;
  std::set<std::string> keys_;
  std::set<dev_t> fileSystemsSeen_;
};

}  // namespace

bool DestinationOnSearchedMedium(const std::string& destinationFolder,
                                 const std::string& searchedPath, const TMediumPaths& paths) {
  if (destinationFolder.empty() || searchedPath.empty()) return false;
  std::error_code error;
  fs::path folder = fs::absolute(destinationFolder, error);
  if (error) return false;
  // A folder not created yet will be made on the file system of its nearest existing ancestor.
  struct stat info {};
  while (::stat(folder.c_str(), &info) != 0) {
    if (folder == folder.parent_path()) return false;
    folder = folder.parent_path();
  }

  TMediumResolver destination(paths, /*followImages=*/true);
  destination.AddFileSystem(info.st_dev, 0);
  TMediumResolver searched(paths, /*followImages=*/false);
  searched.AddPath(searchedPath, 0);

  const std::set<std::string>& a = destination.Keys();
  const std::set<std::string>& b = searched.Keys();
  return std::any_of(a.begin(), a.end(), [&b](const std::string& key) { return b.contains(key); });
}
