// SPDX-License-Identifier: GPL-3.0-or-later
// End finders: follow an open file's own structure, piece by piece as the
// scan reads it, to tell where the file ends and how far it certainly reaches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class TEndFinder {
 public:
  virtual ~TEndFinder() = default;

  // The finder for a file of type tag ("JPG", "BMP", "GIF", "PNG", "WAV",
  // "AVI", "RIFF" or "MOV") that starts bytesLeftOfVolume bytes before the
  // volume's end, which no size in it may pass. nullptr for "TIF", whose
  // structure gives no end, and for any other tag.
  static std::unique_ptr<TEndFinder> For(const std::string& tag, std::uint64_t bytesLeftOfVolume);

  // Takes the file's next piece, in order from its first byte; pieces may have
  // any size. Once the end is known to lie at or before the piece's end,
  // returns how many of the piece's bytes belong to the file: 0 when the end
  // came at or before its first byte (also for every piece after the end).
  // Nothing while the end is not known, which for a truncated or damaged file
  // may be for ever. Reads nothing outside the piece.
  std::optional<std::size_t> Feed(const std::uint8_t* data, std::size_t size);

  // Bytes from the file's start that certainly belong to it, as far as its
  // sizes and lengths seen so far tell: a header found before that offset lies
  // inside the file (an Exif thumbnail, a frame of a movie) and starts nothing.
  std::uint64_t KnownExtent() const { return known_; }

  // The file's exact length once Feed has told its end. It can lie up to 15
  // bytes before the piece whose Feed told it (a movie's end shows only in the
  // atom header after it), when that piece gets 0.
  std::optional<std::uint64_t> FileSize() const;

 protected:
  explicit TEndFinder(std::uint64_t limit) : limit_(limit) {}

  // Parses from data[0], which lies at file offset At(); returns the bytes
  // used, at least one unless the end was set or the finder gave up.
  virtual std::size_t Step(const std::uint8_t* data, std::size_t size) = 0;

  std::uint64_t At() const { return at_; }
  // Collects a field of want bytes (at most kMaxField) that may straddle
  // pieces: the field once complete, else nullptr; used tells the bytes taken.
  const std::uint8_t* Gather(const std::uint8_t* data, std::size_t size, std::size_t want,
                             std::size_t& used);
  // Whether length bytes from offset from stay within the volume.
  bool Fits(std::uint64_t from, std::uint64_t length) const;
  // Passes over the bytes up to offset, which belong to the file.
  void SkipTo(std::uint64_t offset);
  void Vouch(std::uint64_t offset);
  void EndAt(std::uint64_t offset);
  // The structure makes no sense here: the end stays unknown for good.
  void GiveUp() { lost_ = true; }

  static constexpr std::size_t kMaxField = 16;

 private:
  const std::uint64_t limit_;
  std::uint64_t fed_ = 0;     // bytes taken by Feed so far
  std::uint64_t at_ = 0;      // offset of the bytes handed to Step
  std::uint64_t skipTo_ = 0;  // bytes before this are passed over
  std::uint64_t known_ = 0;
  std::optional<std::uint64_t> end_;
  bool lost_ = false;
  std::array<std::uint8_t, kMaxField> field_{};
  std::size_t have_ = 0;
};
