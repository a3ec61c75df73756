// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/drivelist.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <utility>

#include "diskio/deviceaccess.h"
#include "diskio/sysfs.h"

namespace fs = std::filesystem;

namespace {

constexpr char kFirstHardLetter = 'C';
constexpr char kLastLetter = 'Z';
// Fixed disks and the rest never take the last letters, so that a card reader
// put in later still finds one when the machine has more drives than letters.
constexpr int kLettersKeptForReaders = 4;
constexpr std::size_t kNamesInNote = 5;

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool IsUnder(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

// Snaps and other system images, mounted on loop devices by the dozen: none
// is a camera card, and listing them used up the letters before the readers.
bool IsSystemImage(std::string_view backing, bool readOnly) {
  for (std::string_view suffix : {".snap", ".squashfs", ".sfs"}) {
    if (backing.ends_with(suffix)) return true;
  }
  if (IsUnder(backing, "/var/lib/snapd")) return true;
  // A card image attached with losetup -r is read-only too: the flag alone
  // says nothing, only with a system directory behind it.
  if (!readOnly) return false;
  return IsUnder(backing, "/snap") || IsUnder(backing, "/usr/lib");
}

std::vector<std::string> AbsolutePaths(const std::vector<std::string>& paths) {
  std::vector<std::string> absolutes;
  for (const std::string& path : paths) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    absolutes.push_back(error ? path : absolute.lexically_normal().string());
  }
  return absolutes;
}

}  // namespace

bool NaturalNameLess(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && IsDigit(a[endA])) ++endA;
      while (endB < b.size() && IsDigit(b[endB])) ++endB;
      std::string_view numberA = a.substr(i, endA - i);
      std::string_view numberB = b.substr(j, endB - j);
      const std::size_t rawA = numberA.size();
      const std::size_t rawB = numberB.size();
      numberA.remove_prefix(std::min(numberA.find_first_not_of('0'), numberA.size()));
      numberB.remove_prefix(std::min(numberB.find_first_not_of('0'), numberB.size()));
      if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
      if (numberA != numberB) return numberA < numberB;
      if (rawA != rawB) return rawA < rawB;  // "1" before "01", so the order stays total
      i = endA;
      j = endB;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return i == a.size() && j < b.size();
}

TDriveList::TDriveList(std::vector<std::string> imageFiles, bool listBlockDevices,
                       std::string sysBlockDir, std::string devDir)
    : imageFiles_(AbsolutePaths(imageFiles)),
      listBlockDevices_(listBlockDevices),
      sysBlockDir_(std::move(sysBlockDir)),
      devDir_(std::move(devDir)) {}

std::set<std::string> TDriveList::Refresh(const std::set<std::string>& openPaths) {
  std::vector<TDrive> found = FindDrives();
  std::vector<std::size_t> newcomers;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const auto claim = letters_.find(found[i].path);
    if (claim != letters_.end()) {
      found[i].letter = claim->second.letter;
    } else {
      newcomers.push_back(i);
    }
  }
  // Empty slots take their letters after every other newcomer, but only when
  // letters are short: otherwise they keep their place in the order.
  std::vector<TDrive> trial = found;
  std::map<std::string, TClaim> trialClaims = letters_;
  if (GiveLetters(trial, newcomers, trialClaims, openPaths) != 0) {
    std::stable_partition(newcomers.begin(), newcomers.end(),
                          [&found](std::size_t i) { return !found[i].empty; });
  }
  GiveLetters(found, newcomers, letters_, openPaths);

  present_.clear();
  std::vector<std::string> leftOut;
  std::set<std::string> seen;
  for (TDrive& drive : found) {
    seen.insert(drive.path);
    if (drive.letter == 0) {
      leftOut.push_back(drive.path);
    } else {
      present_.push_back(std::move(drive));
    }
  }
  UpdateNote(leftOut);
  return seen;
}

std::vector<TDrive> TDriveList::FindDrives() const {
  std::vector<TDrive> found;
  for (const std::string& image : imageFiles_) {
    TDrive drive;
    drive.path = image;
    drive.kind = DRIVE_REMOVABLE;
    drive.rank = TDriveRank::kImage;
    drive.empty = BytesAtPath(image) == 0;
    found.push_back(std::move(drive));
  }
  std::vector<TDrive> devices;
  if (listBlockDevices_) devices = FindBlockDevices();
  found.insert(found.end(), std::make_move_iterator(devices.begin()),
               std::make_move_iterator(devices.end()));
  // Stable: the images keep their command-line order, ahead of attached loops.
  std::stable_sort(found.begin(), found.end(),
                   [](const TDrive& a, const TDrive& b) { return a.rank < b.rank; });
  // A device node named as an image is listed once, where it comes first.
  std::set<std::string> seen;
  std::erase_if(found, [&seen](const TDrive& drive) { return !seen.insert(drive.path).second; });
  return found;
}

std::vector<TDrive> TDriveList::FindBlockDevices() const {
  const fs::path root(sysBlockDir_);
  std::vector<TDrive> devices;
  std::error_code error;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const fs::path dir = root / name;
    std::error_code dirError;
    if (!fs::is_directory(dir, dirError)) continue;
    if (ReadSysfsNumber(dir / "hidden").value_or(0) == 1) continue;  // no usable node behind it
    const std::string diskName = DiskNameOf(root, name);
    const bool loop = diskName.starts_with("loop");
    if (loop) {
      const std::string backing = LoopBackingFile(root / diskName);
      if (backing.empty()) continue;
      if (IsSystemImage(backing, ReadSysfsNumber(root / diskName / "ro").value_or(0) == 1)) {
        continue;
      }
    }
    TDrive drive;
    drive.path = devDir_ + "/" + name;
    drive.name = name;
    drive.diskName = diskName;
    drive.kind = KindOf(diskName);
    // A loop the user attached is a card image like those on the command line.
    drive.rank = loop                            ? TDriveRank::kImage
                 : drive.kind == DRIVE_REMOVABLE ? TDriveRank::kReader
                                                 : TDriveRank::kOther;
    drive.empty = SysfsBytes(root, name).value_or(0) == 0;
    devices.push_back(std::move(drive));
  }
  // Partitions right after their disk, and numbers in the order people count.
  std::sort(devices.begin(), devices.end(), [](const TDrive& a, const TDrive& b) {
    if (a.diskName != b.diskName) return NaturalNameLess(a.diskName, b.diskName);
    const bool aPartition = a.name != a.diskName;
    const bool bPartition = b.name != b.diskName;
    if (aPartition != bPartition) return bPartition;
    return NaturalNameLess(a.name, b.name);
  });
  return devices;
}

unsigned TDriveList::KindOf(const std::string& diskName) const {
  const auto family = [&diskName](std::string_view prefix) { return diskName.starts_with(prefix); };
  if (family("sr")) return DRIVE_CDROM;
  if (family("ram") || family("zram")) return DRIVE_RAMDISK;
  if (family("loop") || family("mmcblk") || family("fd")) return DRIVE_REMOVABLE;
  const std::uint64_t removable =
      ReadSysfsNumber(fs::path(sysBlockDir_) / diskName / "removable").value_or(0);
  if (removable == 1) return DRIVE_REMOVABLE;
  for (std::string_view prefix : {"sd", "hd", "vd", "xvd", "nvme", "dm-", "md"}) {
    if (family(prefix)) return DRIVE_FIXED;
  }
  return DRIVE_UNKNOWN;
}
std::size_t TDriveList::GiveLetters(std::vector<TDrive>& found,
                                    const std::vector<std::size_t>& order,
                                    std::map<std::string, TClaim>& claims,
                                    const std::set<std::string>& openPaths) {
  std::set<std::string> presentPaths;
  for (const TDrive& drive : found) presentPaths.insert(drive.path);

  const auto freeLetter = [&claims](const TDrive& drive) -> char {
    if (drive.name == "fd0") return 'A';
    if (drive.name == "fd1") return 'B';
    std::set<char> taken;
    for (const auto& [path, claim] : claims) taken.insert(claim.letter);
    const char last = drive.rank == TDriveRank::kOther
                          ? static_cast<char>(kLastLetter - kLettersKeptForReaders)
                          : kLastLetter;
    for (char candidate = kFirstHardLetter; candidate <= last; ++candidate) {
      if (!taken.contains(candidate)) return candidate;
    }
    return 0;
  };
  // A departed device's letter: the least wanted kind gives first, then the
  // lowest letter, so that a disk and its partitions stay in letter order.
  const auto departedLetter = [&claims, &presentPaths]() -> char {
    auto victim = claims.end();
    for (auto it = claims.begin(); it != claims.end(); ++it) {
      if (presentPaths.contains(it->first) || it->second.letter < kFirstHardLetter) continue;
      if (victim == claims.end() || it->second.rank > victim->second.rank ||
          (it->second.rank == victim->second.rank && it->second.letter < victim->second.letter)) {
        victim = it;
      }
    }
    if (victim == claims.end()) return 0;
    const char letter = victim->second.letter;
    claims.erase(victim);
    return letter;
  };
  // The letter of the last drive listed that passes the test; it goes without.
  const auto letterOfLast = [&claims, &found](auto test) -> char {
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
      if (it->letter < kFirstHardLetter || !test(*it)) continue;
      const char letter = it->letter;
      claims.erase(it->path);
      it->letter = 0;
      return letter;
    }
    return 0;
  };
  // With nothing to read, no scan can have been started on it under that letter.
  const auto isEmptySlot = [](const TDrive& drive) { return drive.empty; };
  // A disk that is not open cannot be read under its old letter by mistake.
  const auto isClosedFixedDisk = [&openPaths](const TDrive& drive) {
    return drive.rank == TDriveRank::kOther && !openPaths.contains(drive.path);
  };

  for (std::size_t index : order) {
    TDrive& drive = found[index];
    char letter = freeLetter(drive);
    // A card reader with a card in it is never the one left out, and an
    // image with something in it comes close.
    const bool wanted = !drive.empty && drive.rank != TDriveRank::kOther;
    if (letter == 0 && wanted) letter = departedLetter();
    if (letter == 0 && wanted) letter = letterOfLast(isEmptySlot);
    if (letter == 0 && wanted && drive.rank == TDriveRank::kReader) {
      letter = letterOfLast(isClosedFixedDisk);
    }
    if (letter == 0) continue;
    drive.letter = letter;
    // A letter stays reserved for its device even while the device is away.
    claims[drive.path] = TClaim{letter, drive.rank};
  }
  return static_cast<std::size_t>(
      std::count_if(found.begin(), found.end(), [](const TDrive& d) { return d.letter == 0; }));
}

void TDriveList::UpdateNote(const std::vector<std::string>& leftOut) {
  std::string note;
  if (!leftOut.empty()) {
    note = "No drive letter left for " + std::to_string(leftOut.size()) +
           (leftOut.size() == 1 ? " more drive: " : " more drives: ");
    for (std::size_t i = 0; i < leftOut.size() && i < kNamesInNote; ++i) {
      note += (i == 0 ? "" : ", ") + leftOut[i];
    }
    if (leftOut.size() > kNamesInNote) {
      note += " and " + std::to_string(leftOut.size() - kNamesInNote) + " more";
    }
  }
  // Said when it changes, not again at every Refresh.
  if (!note.empty() && note != note_) std::fprintf(stderr, "fernhollow: %s\n", note.c_str());
  note_ = std::move(note);
  // The window hides CD-ROM drives, so the note goes to the last drive it shows.
  noteLetter_ = 0;
  if (note_.empty()) return;
  for (auto it = present_.rbegin(); it != present_.rend(); ++it) {
    if (it->kind != DRIVE_CDROM) {
      noteLetter_ = it->letter;
      break;
    }
  }
}

bool TDriveList::IsDevice(const TDrive& drive) {
  return !drive.name.empty() || IsBlockNode(drive.path);
}

std::string TDriveList::NoteFor(char letter) const {
  return letter != 0 && letter == noteLetter_ ? note_ : std::string();
}

const TDrive* TDriveList::Find(char letter) const {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (const TDrive& drive : present_) {
    if (drive.letter == upper) return &drive;
  }
  return nullptr;
}
