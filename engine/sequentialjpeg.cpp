// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/sequentialjpeg.h"

#include <algorithm>
#include <cstdlib>

namespace {

// A DC value times its quantizer is 8 times the block's mean less 128, so
// within +-1024 for 8-bit samples; the slack is the rounding.
constexpr long kDcBound = 1024;

std::uint16_t Be16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

// Thrown inside a decode: the bytes ran out before the MCU was whole.
struct TOutOfBytes {};
// Thrown inside a decode: the bytes cannot be the picture's data.
struct TComplaint {};

}  // namespace

// Bits of a + b, with stuffed zeros removed and markers stopping the bits.
class TSequentialJpeg::TReader {
 public:
  TReader(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, TState& state)
      : a_(a), b_(b), s_(state) {}

  int Bit() {
    if (s_.bitCount == 0) Load();
    --s_.bitCount;
    return static_cast<int>((s_.bits >> s_.bitCount) & 1u);
  }

  int Bits(int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) value = value << 1 | Bit();
    return value;
  }

  // The marker at the current byte (after fill bytes), which must come right
  // there; the padding bits left of the last byte are dropped first.
  std::uint8_t Marker() {
    s_.bitCount = 0;
    if (Byte(s_.pos) != 0xFF) throw TComplaint{};
    std::uint64_t at = s_.pos + 1;
    while (Byte(at) == 0xFF) ++at;
    const std::uint8_t code = Byte(at);
    if (code == 0x00) throw TComplaint{};
    s_.pos = at + 1;
    return code;
  }

 private:
  std::uint8_t Byte(std::uint64_t at) const {
    if (at < a_.size()) return a_[static_cast<std::size_t>(at)];
    at -= a_.size();
    if (at < b_.size()) return b_[static_cast<std::size_t>(at)];
    throw TOutOfBytes{};
  }

  void Load() {
    std::uint8_t value = Byte(s_.pos);
    if (value == 0xFF) {
      std::uint64_t at = s_.pos + 1;
      while (Byte(at) == 0xFF) ++at;
      // Bits wanted past a marker: libjpeg makes up zeros and warns.
      if (Byte(at) != 0x00) throw TComplaint{};
      s_.pos = at + 1;
    } else {
      ++s_.pos;
    }
    s_.bits = (s_.bits << 8 | value) & 0xFFFF;
    s_.bitCount = 8;
  }

  std::span<const std::uint8_t> a_, b_;
  TState& s_;
};

std::optional<TSequentialJpeg> TSequentialJpeg::Parse(std::span<const std::uint8_t> head) {
  TSequentialJpeg jpeg;
  if (head.size() < 4 || head[0] != 0xFF || head[1] != 0xD8) return std::nullopt;
  std::array<int, 4> dcQuant{};
  std::array<bool, 4> quantDefined{};
  struct TFrameComponent {
    int id, h, v, quantTable;
  };
  std::vector<TFrameComponent> frame;
  std::uint32_t width = 0, height = 0;
  std::size_t at = 2;
  while (at + 4 <= head.size()) {
    if (head[at] != 0xFF) return std::nullopt;
    const std::uint8_t code = head[at + 1];
    if (code == 0xFF) {
      ++at;
      continue;
    }
    const std::size_t length = Be16(head, at + 2);
    if (length < 2 || at + 2 + length > head.size()) return std::nullopt;
    const std::span<const std::uint8_t> body = head.subspan(at + 4, length - 2);
    at += 2 + length;
    if (code == 0xC0 || code == 0xC1) {
      if (body.size() < 6 || body[0] != 8) return std::nullopt;
      height = Be16(body, 1);
      width = Be16(body, 3);
      const std::size_t count = body[5];
      if (count == 0 || count > 4 || body.size() < 6 + 3 * count || width == 0 || height == 0) {
        return std::nullopt;
      }
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* c = body.data() + 6 + 3 * i;
        const int h = c[1] >> 4, v = c[1] & 15;
        if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return std::nullopt;
        frame.push_back({c[0], h, v, c[2]});
      }
    } else if (code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8) {
      return std::nullopt;  // progressive, lossless or arithmetic coding
    } else if (code == 0xDB) {
      for (std::size_t p = 0; p < body.size();) {
        const int precision = body[p] >> 4, table = body[p] & 15;
        const std::size_t size = precision == 0 ? 64 : 128;
        if (table > 3 || p + 1 + size > body.size()) return std::nullopt;
        dcQuant[static_cast<std::size_t>(table)] =
            precision == 0 ? body[p + 1] : Be16(body, p + 1);
        quantDefined[static_cast<std::size_t>(table)] = true;
        p += 1 + size;
      }
    } else if (code == 0xC4) {
      for (std::size_t p = 0; p < body.size();) {
        if (p + 17 > body.size()) return std::nullopt;
        const int kind = body[p] >> 4, index = body[p] & 15;
        if (kind > 1 || index > 3) return std::nullopt;
        THuffman& table = (kind == 0 ? jpeg.dcTables_ : jpeg.acTables_)[static_cast<std::size_t>(index)];
        std::size_t total = 0;
        for (int l = 1; l <= 16; ++l) total += body[p + static_cast<std::size_t>(l)];
        if (total > 256 || p + 17 + total > body.size()) return std::nullopt;
        std::int32_t codeValue = 0;
        std::int32_t k = 0;
        table.maxCode.fill(-1);
        for (int l = 1; l <= 16; ++l) {
          const int count = body[p + static_cast<std::size_t>(l)];
          table.valOffset[static_cast<std::size_t>(l)] = k - codeValue;
          if (count > 0) {
            codeValue += count;
            k += count;
            // More codes than the length allows: libjpeg refuses the table.
            if (codeValue > (1 << l)) return std::nullopt;
            table.maxCode[static_cast<std::size_t>(l)] = codeValue - 1;
          }
          codeValue <<= 1;
        }
        std::copy_n(body.begin() + static_cast<std::ptrdiff_t>(p + 17), total, table.values.begin());
        table.defined = true;
        p += 17 + total;
      }
    } else if (code == 0xDD) {
      if (body.size() < 2) return std::nullopt;
      jpeg.restartInterval_ = Be16(body, 0);
    } else if (code == 0xDA) {
      if (frame.empty() || body.empty()) return std::nullopt;
      const std::size_t count = body[0];
      if (count != frame.size() || body.size() < 1 + 2 * count + 3) return std::nullopt;
      const std::uint8_t* tail = body.data() + 1 + 2 * count;
      if (tail[0] != 0 || tail[1] != 63 || tail[2] != 0) return std::nullopt;
      int hMax = 1, vMax = 1;
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* c = body.data() + 1 + 2 * i;
        const auto it = std::find_if(frame.begin(), frame.end(),
                                     [id = c[0]](const TFrameComponent& f) { return f.id == id; });
        if (it == frame.end()) return std::nullopt;
        TComponent component;
        component.h = count == 1 ? 1 : it->h;
        component.v = count == 1 ? 1 : it->v;
        component.dcTable = c[1] >> 4;
        component.acTable = c[1] & 15;
        if (component.dcTable > 3 || component.acTable > 3 ||
            !jpeg.dcTables_[static_cast<std::size_t>(component.dcTable)].defined ||
            !jpeg.acTables_[static_cast<std::size_t>(component.acTable)].defined ||
            !quantDefined[static_cast<std::size_t>(it->quantTable)]) {
          return std::nullopt;
        }
        component.quant = dcQuant[static_cast<std::size_t>(it->quantTable)];
        hMax = std::max(hMax, it->h);
        vMax = std::max(vMax, it->v);
        jpeg.components_.push_back(component);
      }
      // One component is scanned block by block; several, MCU by MCU.
      const std::uint64_t across = count == 1 ? (width + 7) / 8 : (width + 8u * hMax - 1) / (8u * hMax);
      const std::uint64_t down =
          count == 1 ? (height + 7) / 8 : (height + 8u * vMax - 1) / (8u * vMax);
      if (across * down > (1u << 26)) return std::nullopt;
      jpeg.totalMcus_ = static_cast<std::uint32_t>(across * down);
      jpeg.start_.pos = at;
      jpeg.start_.restartLeft = jpeg.restartInterval_;
      return jpeg;
    } else if (code == 0xD8 || code == 0xD9 || (code >= 0xD0 && code <= 0xD7) || code == 0x01) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void TSequentialJpeg::DecodeMcu(TReader& reader, TState& state) const {
  const auto decode = [&reader](const THuffman& table) {
    std::int32_t code = 0;
    for (std::size_t l = 1; l <= 16; ++l) {
      code = code << 1 | reader.Bit();
      if (code <= table.maxCode[l]) {
        const std::int32_t index = table.valOffset[l] + code;
        if (index < 0 || index > 255) throw TComplaint{};
        return int{table.values[static_cast<std::size_t>(index)]};
      }
    }
    throw TComplaint{};  // a bad Huffman code
  };
  const auto extend = [](int value, int size) {
    return value < (1 << (size - 1)) ? value - (1 << size) + 1 : value;
  };
  for (std::size_t c = 0; c < components_.size(); ++c) {
    const TComponent& component = components_[c];
    const THuffman& dcTable = dcTables_[static_cast<std::size_t>(component.dcTable)];
    const THuffman& acTable = acTables_[static_cast<std::size_t>(component.acTable)];
    for (int block = component.h * component.v; block > 0; --block) {
      const int size = decode(dcTable);
      if (size > 11) throw TComplaint{};
      if (size > 0) state.dc[c] += extend(reader.Bits(size), size);
      const long q = component.quant;
      if (std::labs(long{state.dc[c]} * q) > kDcBound + 2 * q) throw TComplaint{};
      for (int k = 1; k < 64;) {
        const int rs = decode(acTable);
        const int run = rs >> 4, bits = rs & 15;
        if (bits == 0) {
          if (run != 15) break;  // end of block
          k += 16;
          if (k > 63) throw TComplaint{};  // a run of zeros past the block's end
          continue;
        }
        k += run;
        if (k > 63 || bits > 10) throw TComplaint{};
        reader.Bits(bits);
        ++k;
      }
    }
  }
}

TSequentialJpeg::TStep TSequentialJpeg::Run(TState& state, std::span<const std::uint8_t> a,
                                            std::span<const std::uint8_t> b) const {
  for (;;) {
    TState next = state;
    TReader reader(a, b, next);
    try {
      if (next.mcu == totalMcus_) {
        if (reader.Marker() != 0xD9) return TStep::kComplaint;
        state = next;
        return TStep::kEnd;
      }
      if (restartInterval_ != 0 && next.restartLeft == 0) {
        if (reader.Marker() != 0xD0 + next.nextRestart) return TStep::kComplaint;
        next.nextRestart = (next.nextRestart + 1) % 8;
        next.restartLeft = restartInterval_;
        next.dc = {};
      }
      DecodeMcu(reader, next);
    } catch (const TOutOfBytes&) {
      return TStep::kOutOfBytes;
    } catch (const TComplaint&) {
      return TStep::kComplaint;
    }
    ++next.mcu;
    if (restartInterval_ != 0) --next.restartLeft;
    state = next;
  }
}
