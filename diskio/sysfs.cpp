// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/sysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "diskio/smallfiles.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSysfsSizeUnit = 512;  // sysfs `size` ignores the sector size

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::string Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

// "usb2", "ata1": a bus's own node, numbered, rather than a driver's name
// that happens to begin the same way.
bool IsNumbered(std::string_view part, std::string_view prefix) {
  return part.size() > prefix.size() && part.starts_with(prefix) && IsDigit(part[prefix.size()]);
}

// The path of a device below /sys/devices, one name a part; empty where the
// tree does not place it there (a flat fake tree).
std::vector<std::string> PlaceOf(const fs::path& deviceDir) {
  std::vector<std::string> parts;
  std::error_code error;
  const fs::path real = fs::canonical(deviceDir, error);
  if (error) return parts;
  bool below = false;
  for (const fs::path& part : real) {
    if (below) {
      parts.push_back(part.string());
    } else {
      below = part == "devices";
    }
  }
  return parts;
}

}  // namespace

std::string PartitionParentName(std::string_view name) {
  std::size_t end = name.size();
  while (end > 0 && IsDigit(name[end - 1])) --end;
  if (end == name.size() || end == 0) return {};
  // A disk whose name ends in a digit numbers its partitions after a 'p'.
  if (end >= 2 && name[end - 1] == 'p' && IsDigit(name[end - 2])) --end;
  return std::string(name.substr(0, end));
}

std::string DeviceNumberText(dev_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::optional<std::uint64_t> ReadSysfsNumber(const fs::path& path) {
  const std::optional<std::string> text = ReadSmallFile(path);
  if (!text) return std::nullopt;
  const std::string digits = Trim(*text);
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

std::string ReadSysfsText(const fs::path& path) {
  return Trim(ReadSmallFile(path).value_or(""));
}

std::string LoopBackingFile(const fs::path& deviceDir) {
  std::string backing = ReadSysfsText(deviceDir / "loop" / "backing_file");
  constexpr std::string_view kDeleted = " (deleted)";
  if (backing.ends_with(kDeleted)) backing.resize(backing.size() - kDeleted.size());
  return backing;
}

std::optional<fs::path> DeviceDirOf(const fs::path& sysDevBlock, dev_t device) {
  std::error_code error;
  fs::path real = fs::canonical(sysDevBlock / DeviceNumberText(device), error);
  if (error) return std::nullopt;
  return real;
}

fs::path WholeDiskDir(const fs::path& deviceDir) {
  return Exists(deviceDir / "partition") ? deviceDir.parent_path() : deviceDir;
}

std::vector<fs::path> SlaveDirs(const fs::path& deviceDir) {
  std::vector<fs::path> lower;
  std::error_code error;
  for (fs::directory_iterator it(deviceDir / "slaves", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code linkError;
    fs::path real = fs::canonical(it->path(), linkError);
    if (!linkError) lower.push_back(std::move(real));
  }
  return lower;
}

std::string DiskNameOf(const fs::path& sysBlockDir, const std::string& name) {
  if (!Exists(sysBlockDir / name / "partition")) return name;
  std::error_code error;
  const fs::path real = fs::canonical(sysBlockDir / name, error);
  if (!error) {
    // The disk must be listed itself, or this is a flat tree whose parent is the list.
    const fs::path diskDir = WholeDiskDir(real);
    const fs::path listed = sysBlockDir / diskDir.filename();
    if (Exists(listed) && fs::equivalent(listed, diskDir, error) && !error) {
      return diskDir.filename().string();
    }
  }
  std::string parent = PartitionParentName(name);
  if (!parent.empty() && Exists(sysBlockDir / parent)) return parent;
  return name;
}

bool SysfsNamesOfNode(const fs::path& sysBlockDir, const std::string& nodePath, std::string& name,
                      std::string& diskName) {
  struct stat info {};
  if (::stat(nodePath.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return false;
  const std::string wanted = DeviceNumberText(info.st_rdev);
  std::error_code error;
  for (fs::directory_iterator it(sysBlockDir, error), end; !error && it != end;
       it.increment(error)) {
    if (ReadSysfsText(it->path() / "dev") != wanted) continue;
    name = it->path().filename().string();
    diskName = DiskNameOf(sysBlockDir, name);
    return true;
  }
  return false;
}

std::optional<std::uint64_t> SysfsBytes(const fs::path& sysBlockDir, const std::string& name) {
  const std::optional<std::uint64_t> size = ReadSysfsNumber(sysBlockDir / name / "size");
  if (!size || *size > std::numeric_limits<std::uint64_t>::max() / kSysfsSizeUnit) {
    return std::nullopt;
  }
  return *size * kSysfsSizeUnit;
}

std::optional<TSysfsSize> SysfsSizeOf(const fs::path& sysBlockDir, const std::string& name,
                                      const std::string& diskName) {
  const std::optional<std::uint64_t> bytes = SysfsBytes(sysBlockDir, name);
  const std::optional<std::uint64_t> logical =
      ReadSysfsNumber(sysBlockDir / diskName / "queue" / "logical_block_size");
  if (!bytes || !logical || *logical == 0 || *logical > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  return TSysfsSize{*bytes, static_cast<std::uint32_t>(*logical)};
}

TDriveBus SysfsBusOf(const fs::path& sysBlockDir, const std::string& diskName) {
  const auto named = [&diskName](std::string_view prefix) { return diskName.starts_with(prefix); };
  if (named("loop")) return TDriveBus::kLoop;
  const std::vector<std::string> place = PlaceOf(sysBlockDir / diskName);
  const auto placed = [&place](auto test) { return std::any_of(place.begin(), place.end(), test); };
  // A card in an SD slot is a card, whichever way its reader is attached.
  if (named("mmcblk") || placed([](std::string_view part) { return part == "mmc_host"; })) {
    return TDriveBus::kSdSlot;
  }
  if (placed([](std::string_view part) { return IsNumbered(part, "usb"); })) return TDriveBus::kUsb;
  if (named("nvme") || placed([](std::string_view part) { return part.starts_with("nvme"); })) {
    return TDriveBus::kNvme;
  }
  if (placed([](std::string_view part) { return IsNumbered(part, "ata"); })) {
    return TDriveBus::kSata;
  }
  if (named("vd") || placed([](std::string_view part) { return IsNumbered(part, "virtio"); })) {
    return TDriveBus::kVirtual;
  }
  return TDriveBus::kUnknown;
}

std::string SysfsModelOf(const fs::path& sysBlockDir, const std::string& diskName) {
  const fs::path dir = sysBlockDir / diskName;
  if (diskName.starts_with("loop")) return LoopBackingFile(dir);
  std::string model = ReadSysfsText(dir / "device" / "model");
  if (model.empty() && SysfsBusOf(sysBlockDir, diskName) == TDriveBus::kSdSlot) {
    model = ReadSysfsText(dir / "device" / "name");
  }
  return model;
}
