// SPDX-License-Identifier: GPL-3.0-or-later
// A quick first judge of where a sequential (baseline) JPEG's data goes on.
// Trying a continuation with libjpeg decodes the whole first piece again for
// each candidate; this decoder keeps its state at MCU boundaries instead, so
// the first piece is decoded once and each candidate costs only the few
// kilobytes after the joint that it takes to turn a wrong one down (a bad
// Huffman code, a coefficient past the block's end, a DC value no 8-bit
// picture has, a restart marker out of turn, a marker before the last MCU).
// It turns down no continuation libjpeg takes: what it lets through is
// judged by libjpeg (ValidJoin) after it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class TSequentialJpeg {
 public:
  // Where decoding stands, between two MCUs.
  struct TState {
    std::uint64_t pos = 0;  // the next byte of the stream to take into the bit buffer
    std::uint64_t bits = 0;
    int bitCount = 0;
    std::array<int, 4> dc{};
    std::uint32_t mcu = 0;          // MCUs decoded
    std::uint32_t restartLeft = 0;  // MCUs until the next restart marker
    int nextRestart = 0;
  };

  enum class TStep {
    kComplaint,  // the bytes cannot be this picture's data
    kOutOfBytes,  // fine as far as the bytes go
    kEnd,  // the last MCU decoded and an EOI right after it; state.pos is past the EOI
  };

  // The decoder for the photo whose headers `head` starts with (through its
  // first SOS); nothing for what it does not follow: progressive or
  // arithmetic coding, a frame not scanned in one interleaved scan, 12 bits.
  static std::optional<TSequentialJpeg> Parse(std::span<const std::uint8_t> head);

  // At the first MCU of the scan.
  TState Start() const { return start_; }

  // Decodes MCUs from state on over a + b (one stream, b after a) until the
  // bytes run out (state then stands after the last MCU that ended inside
  // them, so a copy of it can go on with other bytes after a), a complaint,
  // or the end.
  TStep Run(TState& state, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) const;

  std::uint32_t TotalMcus() const { return totalMcus_; }

 private:
  struct THuffman {
    std::array<std::int32_t, 18> maxCode{};
    std::array<std::int32_t, 17> valOffset{};
    std::array<std::uint8_t, 256> values{};
    bool defined = false;
  };
  struct TComponent {
    int h = 1, v = 1;
    int dcTable = 0, acTable = 0;
    int quant = 0;  // the quantizer of the DC coefficient
  };

  class TReader;
  void DecodeMcu(TReader& reader, TState& state) const;

  std::array<THuffman, 4> dcTables_{};
  std::array<THuffman, 4> acTables_{};
  std::vector<TComponent> components_;
  std::uint32_t totalMcus_ = 0;
  std::uint32_t restartInterval_ = 0;
  TState start_;
};
