// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/jpegjoin.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace {

// More than any camera takes; a header that claims more is not worth the
// coefficient arrays it would need.
constexpr std::uint64_t kMaxPixels = 256ull << 20;
// The whole-image coefficient arrays (2 bytes per coefficient) must fit; a
// larger picture is refused by libjpeg, which has no backing store here.
constexpr long kMaxLibraryMemory = 512l << 20;
// Continuation reads start small, as a wrong one usually fails within a few
// kilobytes, and grow so that a right one costs few calls.
constexpr std::size_t kFirstBlock = 4096;
constexpr std::size_t kLargestBlock = 64 * 1024;
// A DC coefficient is 8 times the block's mean sample less 128, so for 8-bit
// samples it lies within +-1024; decoding the wrong data drifts it outside.
constexpr long kDcBound = 1024;

struct TJoinState;

struct TSourceManager {
  jpeg_source_mgr base;
  TJoinState* state;
};

struct TErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf exit;
};

struct TProgress {
  jpeg_progress_mgr base;
  TJoinState* state;
};

// Everything the decode touches after setjmp lives here, reached through a
// pointer set before it, so a longjmp leaves nothing in an unknown state.
struct TJoinState {
  jpeg_decompress_struct cinfo{};
  TErrorManager error{};
  TSourceManager source{};
  TProgress progress{};
  std::span<const std::uint8_t> first;
  TJoinSource* rest = nullptr;
  std::uint64_t limit = 0;
  // The continuation's bytes handed to libjpeg so far, and the last block.
  std::uint64_t restRead = 0;
  std::vector<std::uint8_t> block;
  std::size_t nextBlock = kFirstBlock;
  // Where the buffer libjpeg reads from starts in first + continuation.
  std::uint64_t bufferStart = 0;
  std::size_t bufferSize = 0;
  // The coefficient arrays as libjpeg asks for them, one per component, so
  // the DC values can be checked while the scans are still coming in.
  std::vector<jvirt_barray_ptr> arrays;
  jvirt_barray_ptr (*requestArray)(j_common_ptr, int, boolean, JDIMENSION, JDIMENSION,
                                   JDIMENSION) = nullptr;
  // Whether the decode failed only for want of more bytes.
  bool ranOut = false;
  int checkedScan = -1;
  JDIMENSION checkedRows = 0;
  int maxAl = 0;
};

TJoinState* StateOf(j_decompress_ptr cinfo) {
  return static_cast<TJoinState*>(cinfo->client_data);
}

[[noreturn]] void Fail(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TErrorManager*>(cinfo->err)->exit, 1);
}

// Warnings are corrupt data, a broken restart sequence, bytes before a
// marker or a premature end: any of them means the bytes are not one file.
void EmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0) Fail(cinfo);
}

void NoOutput(j_common_ptr) {}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// Running out is a failure, never the EOI libjpeg would otherwise make up.
boolean FillInput(j_decompress_ptr cinfo) {
  TJoinState& s = *StateOf(cinfo);
  if (s.rest == nullptr || s.restRead >= s.limit) {
    s.ranOut = true;
    Fail(reinterpret_cast<j_common_ptr>(cinfo));
  }
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(s.nextBlock, s.limit - s.restRead));
  s.block.resize(want);
  const std::size_t got = s.rest->Read(s.restRead, s.block.data(), want);
  if (got == 0 || got > want) Fail(reinterpret_cast<j_common_ptr>(cinfo));
  s.bufferStart = s.first.size() + s.restRead;
  s.bufferSize = got;
  s.restRead += got;
  s.nextBlock = std::min(s.nextBlock * 2, kLargestBlock);
  s.source.base.next_input_byte = s.block.data();
  s.source.base.bytes_in_buffer = got;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr& src = *cinfo->src;
  while (count > 0) {
    if (src.bytes_in_buffer == 0) FillInput(cinfo);
    const std::size_t step =
        std::min<std::size_t>(static_cast<std::size_t>(count), src.bytes_in_buffer);
    src.next_input_byte += step;
    src.bytes_in_buffer -= step;
    count -= static_cast<long>(step);
  }
}

jvirt_barray_ptr RequestArray(j_common_ptr cinfo, int pool, boolean preZero, JDIMENSION width,
                              JDIMENSION height, JDIMENSION maxAccess) {
  TJoinState& s = *StateOf(reinterpret_cast<j_decompress_ptr>(cinfo));
  jvirt_barray_ptr array = s.requestArray(cinfo, pool, preZero, width, height, maxAccess);
  s.arrays.push_back(array);
  return array;
}

// Checks the DC values of the rows of blocks the current scan has finished
// since the last call, so a wrong continuation fails near the joint even
// where the entropy decoder finds nothing to complain about.
void CheckRows(j_common_ptr common) {
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  TJoinState& s = *StateOf(cinfo);
  if (cinfo->data_precision != 8 || cinfo->Ss != 0 || cinfo->comps_in_scan <= 0 ||
      s.arrays.size() != static_cast<std::size_t>(cinfo->num_components)) {
    return;
  }
  if (cinfo->input_scan_number != s.checkedScan) {
    s.checkedScan = cinfo->input_scan_number;
    s.checkedRows = 0;
  }
  s.maxAl = std::max(s.maxAl, cinfo->Al);
  const JDIMENSION done = std::min(cinfo->input_iMCU_row, cinfo->total_iMCU_rows);
  for (; s.checkedRows < done; ++s.checkedRows) {
    for (int i = 0; i < cinfo->comps_in_scan; ++i) {
      const jpeg_component_info* comp = cinfo->cur_comp_info[i];
      if (comp->quant_table == nullptr) continue;
      const long q = comp->quant_table->quantval[0];
      // Rounding to the quantizer, and the low bits a first DC scan leaves out.
      const long bound = kDcBound + q + (q << s.maxAl);
      const auto rows = static_cast<JDIMENSION>(comp->v_samp_factor);
      const JDIMENSION firstRow = s.checkedRows * rows;
      if (firstRow >= comp->height_in_blocks) continue;
      JBLOCKARRAY blocks = cinfo->mem->access_virt_barray(
          common, s.arrays[static_cast<std::size_t>(comp->component_index)], firstRow, rows, FALSE);
      const JDIMENSION lastRow = std::min(rows, comp->height_in_blocks - firstRow);
      for (JDIMENSION r = 0; r < lastRow; ++r) {
        for (JDIMENSION x = 0; x < comp->width_in_blocks; ++x) {
          if (std::labs(long{blocks[r][x][0]} * q) > bound) Fail(common);
        }
      }
    }
  }
}

// The offset in first + continuation just past the EOI, or nothing when
// libjpeg gave up or the bytes are not one picture that ends there.
std::optional<std::uint64_t> Decode(TJoinState* state) {
  jpeg_decompress_struct& cinfo = state->cinfo;
  if (setjmp(state->error.exit) != 0) return std::nullopt;

  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return std::nullopt;
  if (cinfo.image_width == 0 || cinfo.image_height == 0 ||
      std::uint64_t{cinfo.image_width} * cinfo.image_height > kMaxPixels) {
    return std::nullopt;
  }
  // Without the IDCT: the entropy decoding of every scan is the whole check.
  if (jpeg_read_coefficients(&cinfo) == nullptr) return std::nullopt;
  CheckRows(reinterpret_cast<j_common_ptr>(&cinfo));
  if (jpeg_finish_decompress(&cinfo) == FALSE) return std::nullopt;

  const std::uint64_t end =
      state->bufferStart + (state->bufferSize - state->source.base.bytes_in_buffer);
  return end;
}

std::optional<std::uint64_t> DecodeJoined(std::span<const std::uint8_t> first, TJoinSource* rest,
                                          std::uint64_t limit, bool* ranOut = nullptr) {
  if (first.size() < 2) return std::nullopt;
  auto state = std::make_unique<TJoinState>();
  TJoinState& s = *state;
  s.first = first;
  s.rest = rest;
  s.limit = limit;
  s.bufferSize = first.size();

  s.cinfo.err = jpeg_std_error(&s.error.base);
  s.error.base.error_exit = Fail;
  s.error.base.emit_message = EmitMessage;
  s.error.base.output_message = NoOutput;
  jpeg_create_decompress(&s.cinfo);
  s.cinfo.client_data = &s;
  s.cinfo.mem->max_memory_to_use = kMaxLibraryMemory;
  s.requestArray = s.cinfo.mem->request_virt_barray;
  s.cinfo.mem->request_virt_barray = RequestArray;
  s.progress.base.progress_monitor = CheckRows;
  s.progress.state = &s;
  s.cinfo.progress = &s.progress.base;

  s.source.state = &s;
  s.source.base.init_source = InitSource;
  s.source.base.fill_input_buffer = FillInput;
  s.source.base.skip_input_data = SkipInput;
  s.source.base.resync_to_restart = jpeg_resync_to_restart;
  s.source.base.term_source = TermSource;
  s.source.base.next_input_byte = first.data();
  s.source.base.bytes_in_buffer = first.size();
  s.cinfo.src = &s.source.base;

  const std::optional<std::uint64_t> end = Decode(state.get());
  jpeg_destroy_decompress(&s.cinfo);
  if (ranOut != nullptr) *ranOut = s.ranOut;
  if (!end || *end < 2) return std::nullopt;

  // The two bytes before the end must be the EOI itself.
  std::uint8_t marker[2];
  for (int i = 0; i < 2; ++i) {
    const std::uint64_t at = *end - 2 + static_cast<std::uint64_t>(i);
    if (at < first.size()) {
      marker[i] = first[at];
    } else if (rest == nullptr || rest->Read(at - first.size(), &marker[i], 1) != 1) {
      return std::nullopt;
    }
  }
  if (marker[0] != 0xFF || marker[1] != 0xD9) return std::nullopt;
  return end;
}

}  // namespace

std::optional<std::uint64_t> ValidJoin(std::span<const std::uint8_t> first, TJoinSource& rest,
                                       std::uint64_t limit) {
  const std::optional<std::uint64_t> end = DecodeJoined(first, &rest, limit);
  // A picture that ends right at the first piece's end needs none of the
  // continuation; one ending inside it leaves bytes that belong to no file.
  if (!end || *end < first.size()) return std::nullopt;
  return *end - first.size();
}

bool JpegDecodesWhole(std::span<const std::uint8_t> bytes) {
  const std::optional<std::uint64_t> end = DecodeJoined(bytes, nullptr, 0);
  return end && *end == bytes.size();
}

std::optional<std::uint64_t> JpegDecodedLength(std::span<const std::uint8_t> bytes) {
  return DecodeJoined(bytes, nullptr, 0);
}

bool JpegPrefixDecodes(std::span<const std::uint8_t> bytes) {
  bool ranOut = false;
  return DecodeJoined(bytes, nullptr, 0, &ranOut) || ranOut;
}
