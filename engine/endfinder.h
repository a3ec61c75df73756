// SPDX-License-Identifier: GPL-3.0-or-later
// End finders: follow an open file's own structure, piece by piece as the
// scan reads it, to tell where the file ends and how far it certainly reaches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// The bytes of the volume from an open file's first byte, read on demand
// through the scan's own reader (each read counted like any other): a finder
// that must look past the bytes fed so far -- at the end a size field claims,
// at a directory further on -- reads them here.
class TVolumeBytes {
 public:
  virtual ~TVolumeBytes() = default;
  // Reads size bytes at offset from the file's first byte; false when any of
  // them cannot be read (past the volume's end, an unreadable sector).
  virtual bool Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) = 0;
};

// The format modules (engine/formats) derive their finders from this; the
// registry makes them.
class TEndFinder {
 public:
  virtual ~TEndFinder() = default;

  // Takes the file's next piece, in order from its first byte; pieces may have
  // any size. Once the end is known to lie at or before the piece's end,
  // returns how many of the piece's bytes belong to the file: 0 when the end
  // came at or before its first byte (also for every piece after the end).
  // Nothing while the end is not known, which for a truncated or damaged file
  // may be for ever. Reads nothing outside the piece.
  std::optional<std::size_t> Feed(const std::uint8_t* data, std::size_t size);

  // Bytes from the file's start that certainly belong to it, as far as its
  // sizes and lengths seen so far tell and were proven: a header found before
  // that offset lies inside the file (an Exif thumbnail, a frame of a movie)
  // and starts nothing. A size field counts only once the structure at the
  // end it claims holds (see Peek), so a lying size hides no other file.
  std::uint64_t KnownExtent() const { return known_; }

  // The file's exact length once Feed has told its end. It can lie before
  // the piece whose Feed told it (a movie's end may show only in what
  // follows it, or only where a size field's claim fails), when that piece
  // gets 0; the scan then cuts what it wrote past the end.
  std::optional<std::uint64_t> FileSize() const;

  // Whether the end told is where the file's structure broke off (empty
  // space inside it, another file's data) rather than its own end: the rest
  // of the file may lie further on.
  bool BrokenOff() const { return brokenOff_; }

 protected:
  // limit: the bytes from the file's start to the volume's end, which no
  // size in it may pass. volume may be null (then Peek reads nothing).
  explicit TEndFinder(std::uint64_t limit, TVolumeBytes* volume = nullptr)
      : limit_(limit), volume_(volume) {}

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
  // Ends the file where its structure last held, before data that is not its own.
  void BreakOffAt(std::uint64_t offset) {
    EndAt(offset);
    brokenOff_ = end_.has_value();
  }
  // The structure makes no sense here: the end stays unknown for good.
  void GiveUp() { lost_ = true; }
  // Reads bytes anywhere in the file's reach (ahead of what was fed, at the
  // end a size field claims), to prove a claim before vouching for it.
  bool Peek(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const;
  std::uint64_t Limit() const { return limit_; }

  static constexpr std::size_t kMaxField = 16;

 private:
  const std::uint64_t limit_;
  TVolumeBytes* volume_;
  std::uint64_t fed_ = 0;     // bytes taken by Feed so far
  std::uint64_t at_ = 0;      // offset of the bytes handed to Step
  std::uint64_t skipTo_ = 0;  // bytes before this are passed over
  std::uint64_t known_ = 0;
  std::optional<std::uint64_t> end_;
  bool lost_ = false;
  bool brokenOff_ = false;
  std::array<std::uint8_t, kMaxField> field_{};
  std::size_t have_ = 0;
};
