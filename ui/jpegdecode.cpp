// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/jpegdecode.h"

#include <QFile>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace {

// At the coarsest scale this admits pictures of up to 256 megapixels, more
// than any camera takes; a header that claims more is not a photo worth
// decoding. libjpeg's own buffers (whole-image coefficients for progressive
// files) stay below the memory cap.
constexpr std::uint64_t kMaxOutputPixels = 4ull << 20;
constexpr long kMaxLibraryMemory = 256l << 20;
constexpr qint64 kMaxFileSize = 64ll << 20;

struct TErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf exit;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TErrorManager*>(cinfo->err)->exit, 1);
}

void NoMessage(j_common_ptr) {}

// libjpeg's progress monitor, called once per row of blocks while it takes in
// the scans of a progressive file and once per jpeg_read_scanlines call after:
// gives up, through the error exit, on a file past the limits.
struct TProgress {
  jpeg_progress_mgr base{};
  int maxScans = 0;
  std::chrono::steady_clock::time_point deadline;
  std::chrono::steady_clock::time_point (*now)() = nullptr;
  bool gaveUp = false;
};

std::chrono::steady_clock::time_point Now(const TProgress& progress) {
  return progress.now != nullptr ? progress.now() : std::chrono::steady_clock::now();
}

void CheckProgress(j_common_ptr cinfo) {
  auto* progress = reinterpret_cast<TProgress*>(cinfo->progress);
  const int scans = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
  if (scans > progress->maxScans || Now(*progress) >= progress->deadline) {
    progress->gaveUp = true;
    cinfo->err->error_exit(cinfo);
  }
}

// Everything the decode touches after setjmp lives here, reached through a
// pointer set before it, so a longjmp leaves nothing in an unknown state.
struct TDecodeState {
  jpeg_decompress_struct cinfo{};
  TErrorManager error{};
  TProgress progress;
  QImage image;
  std::vector<JSAMPLE> cmykRow;
  JDIMENSION rowsRead = 0;
  bool started = false;
};

// The drawn size's sides for a picture in the area, aspect kept.
QSize CoverSize(JDIMENSION width, JDIMENSION height, QSize area) {
  const double r = double(width) / double(height);
  double w = area.width(), h = area.width() / r;
  if (h > area.height()) {
    h = area.height();
    w = h * r;
  }
  return {static_cast<int>(w), static_cast<int>(h)};
}

void CmykToRgb32(const JSAMPLE* cmyk, QRgb* out, JDIMENSION width, bool inverted) {
  for (JDIMENSION x = 0; x < width; ++x, cmyk += 4) {
    int c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    out[x] = qRgb(c * k / 255, m * k / 255, y * k / 255);
  }
}

// False when libjpeg gave up before the first row, or the limits were hit.
bool Decode(TDecodeState* state, const std::uint8_t* data, std::size_t size, QSize area) {
  jpeg_decompress_struct& cinfo = state->cinfo;
  if (setjmp(state->error.exit) != 0) return state->rowsRead > 0 && !state->progress.gaveUp;

  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return false;
  if (cinfo.image_width == 0 || cinfo.image_height == 0) return false;
  cinfo.mem->max_memory_to_use = kMaxLibraryMemory;

  const bool cmyk = cinfo.num_components == 4;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
  cinfo.dct_method = JDCT_ISLOW;
  // The coarsest scale whose picture still covers the drawn size.
  const QSize cover = CoverSize(cinfo.image_width, cinfo.image_height, area);
  cinfo.scale_denom = 8;
  for (unsigned num = 1; num <= 8; ++num) {
    cinfo.scale_num = num;
    jpeg_calc_output_dimensions(&cinfo);
    if (cinfo.output_width >= JDIMENSION(cover.width()) &&
        cinfo.output_height >= JDIMENSION(cover.height()))
      break;
  }
  if (std::uint64_t{cinfo.output_width} * cinfo.output_height > kMaxOutputPixels) return false;

  state->image = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                        QImage::Format_RGB32);
  if (state->image.isNull()) return false;
  state->image.fill(Qt::white);
  if (cmyk) state->cmykRow.resize(std::size_t{cinfo.output_width} * 4);

  state->started = jpeg_start_decompress(&cinfo) != 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    const int y = static_cast<int>(cinfo.output_scanline);
    JSAMPROW row = cmyk ? state->cmykRow.data() : state->image.scanLine(y);
    if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) break;
    if (cmyk) {
      CmykToRgb32(row, reinterpret_cast<QRgb*>(state->image.scanLine(y)), cinfo.output_width,
                  cinfo.saw_Adobe_marker != 0);
    }
    ++state->rowsRead;
  }
  return state->rowsRead > 0;
}

}  // namespace

bool DecodeJpegPreview(const std::uint8_t* data, std::size_t size, QSize area,
                       TJpegPicture& picture, const TJpegLimits& limits) {
  if (data == nullptr || size == 0 || area.isEmpty()) return false;
  auto state = std::make_unique<TDecodeState>();
  state->cinfo.err = jpeg_std_error(&state->error.base);
  state->error.base.error_exit = ErrorExit;
  state->error.base.output_message = NoMessage;
  jpeg_create_decompress(&state->cinfo);
  TProgress& progress = state->progress;
  progress.base.progress_monitor = CheckProgress;
  progress.maxScans = limits.maxScans;
  progress.now = limits.now;
  progress.deadline = Now(progress) + limits.maxTime;
  state->cinfo.progress = &progress.base;
  const bool decoded = Decode(state.get(), data, size, area);
  const QSize fullSize(static_cast<int>(state->cinfo.image_width),
                       static_cast<int>(state->cinfo.image_height));
  // Not finished on purpose: a picture that broke off has no end to read.
  jpeg_destroy_decompress(&state->cinfo);
  if (!decoded) return false;
  picture.image = std::move(state->image);
  picture.fullSize = fullSize;
  return true;
}

bool DecodeJpegPreviewFile(const QString& path, QSize area, TJpegPicture& picture) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize) return false;
  const QByteArray data = file.readAll();
  if (data.size() != file.size()) return false;
  return DecodeJpegPreview(reinterpret_cast<const std::uint8_t*>(data.constData()),
                           static_cast<std::size_t>(data.size()), area, picture);
}
