// SPDX-License-Identifier: GPL-3.0-or-later
// What the disk tests stand their platforms on: fake sysfs trees, image files
// of a known pattern, and the drives a platform lists.
#pragma once

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "diskio/platform.h"

namespace diskio_test {

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Differs from sector to sector and within one, so a read from the wrong
// place never matches.
inline std::uint8_t PatternByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset >> 9) * 31 + offset);
}

inline void WriteImage(const std::filesystem::path& path, std::uint64_t bytes) {
  std::string data(bytes, '\0');
  for (std::uint64_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(PatternByte(i));
  WriteText(path, data);
}

// A whole disk in a flat fake /sys/class/block.
inline void AddDisk(const std::filesystem::path& sys, const std::string& name, int removable,
                    std::uint64_t sectors = 1000, const std::string& model = "",
                    std::uint32_t sectorBytes = 512) {
  WriteText(sys / name / "removable", std::to_string(removable) + "\n");
  WriteText(sys / name / "size", std::to_string(sectors) + "\n");
  WriteText(sys / name / "queue" / "logical_block_size", std::to_string(sectorBytes) + "\n");
  if (!model.empty()) WriteText(sys / name / "device" / "model", model + "\n");
}

// A whole disk where real sysfs puts it: its directory in the device it
// belongs to (sys/devices/<place>/block/<name>, `device` leading back to
// <place>), listed by a link in sys/class/block. Returns the device's
// directory, where its model lies.
inline std::filesystem::path PlaceDisk(const std::filesystem::path& sys, const std::string& place,
                                       const std::string& name, int removable,
                                       std::uint64_t sectors = 1000) {
  const std::filesystem::path device = sys / "devices" / place;
  const std::filesystem::path disk = device / "block" / name;
  AddDisk(disk.parent_path(), name, removable, sectors);
  std::filesystem::create_directory_symlink(device, disk / "device");
  std::filesystem::create_directories(sys / "class" / "block");
  std::filesystem::create_directory_symlink(disk, sys / "class" / "block" / name);
  return device;
}

inline void AddPartition(const std::filesystem::path& sys, const std::string& name,
                         std::uint64_t sectors = 900) {
  WriteText(sys / name / "partition", "1\n");
  WriteText(sys / name / "size", std::to_string(sectors) + "\n");
}

inline void BindLoop(const std::filesystem::path& sys, const std::string& name,
                     const std::string& backing = "/srv/card.img", bool readOnly = false) {
  AddDisk(sys, name, 0);
  WriteText(sys / name / "loop" / "backing_file", backing + "\n");
  WriteText(sys / name / "ro", readOnly ? "1\n" : "0\n");
}

inline char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// What stands behind each listed drive, in list order.
inline std::vector<std::string> Paths(DiskPlatform& platform) {
  std::vector<std::string> paths;
  for (const std::string& root : platform.LogicalDriveRoots()) {
    paths.push_back(platform.Describe(root[0]).path);
  }
  return paths;
}

// Each listed drive as "X: path", in list order.
inline std::vector<std::string> Letters(DiskPlatform& platform) {
  std::vector<std::string> listed;
  for (const std::string& root : platform.LogicalDriveRoots()) {
    listed.push_back(std::string{Upper(root[0])} + ": " + platform.Describe(root[0]).path);
  }
  return listed;
}

// The (upper-case) letter of the drive behind path; 0 when none is listed.
inline char LetterOf(DiskPlatform& platform, const std::string& path) {
  for (const std::string& root : platform.LogicalDriveRoots()) {
    if (platform.Describe(root[0]).path == path) return Upper(root[0]);
  }
  return 0;
}

// The drive letters whose description carries a note, with the note.
inline std::map<char, std::string> Notes(DiskPlatform& platform) {
  std::map<char, std::string> notes;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string note = platform.Describe(letter).note;
    if (!note.empty()) notes[letter] = note;
  }
  return notes;
}

}  // namespace diskio_test
