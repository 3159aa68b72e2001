#include "sim/chip/jpeg_decode.h"

#include <algorithm>

#if VORN_HAVE_LIBJPEG
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#endif

namespace vorn::chip {

#if VORN_HAVE_LIBJPEG
namespace {

// The library reports errors through a callback that must not return: it jumps back to the
// decode with the message kept. Warnings (damaged data the library would paper over) are
// kept too and fail the decode afterwards.
struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool warned;
};

void OnError(j_common_ptr info) {
  ErrorTrap* trap = reinterpret_cast<ErrorTrap*>(info->err);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

void OnMessage(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace messages
  ErrorTrap* trap = reinterpret_cast<ErrorTrap*>(info->err);
  if (!trap->warned) (*info->err->format_message)(info, trap->message);
  trap->warned = true;
}

// A decompressor whose life ends with the scope, also when a jump leaves it. Create runs
// once the jump target is set, since creating may fail too.
struct Decompressor {
  jpeg_decompress_struct info{};
  ErrorTrap trap{};

  Decompressor() {
    info.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = OnError;
    trap.manager.emit_message = OnMessage;
  }
  void Create() { jpeg_create_decompress(&info); }
  ~Decompressor() { jpeg_destroy_decompress(&info); }
};

bool Is420(const jpeg_decompress_struct& info) {
  return info.num_components == 3 && info.comp_info[0].h_samp_factor == 2 &&
         info.comp_info[0].v_samp_factor == 2 && info.comp_info[1].h_samp_factor == 1 &&
         info.comp_info[1].v_samp_factor == 1 && info.comp_info[2].h_samp_factor == 1 &&
         info.comp_info[2].v_samp_factor == 1;
}

// Scratch rows of a decode. It lives in the frame that catches the library's error jump, so
// a jump out of the middle of a decode still frees it.
struct Scratch {
  std::vector<uint8_t> y, cb, cr, rows;
};

// The library's raw output of a 4:2:0 stream: its own luma and chroma samples, 16 rows at a
// time, into planes padded to whole MCUs and then cut to size.
void ReadRaw420(jpeg_decompress_struct& info, Scratch& s, DecodedJpeg* out) {
  const uint32_t w = out->width, h = out->height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  const uint32_t lumaStride = info.comp_info[0].width_in_blocks * DCTSIZE;
  const uint32_t chromaStride = info.comp_info[1].width_in_blocks * DCTSIZE;
  const uint32_t rows = (h + 15) / 16 * 16;
  std::vector<uint8_t>& y = s.y;
  std::vector<uint8_t>& cb = s.cb;
  std::vector<uint8_t>& cr = s.cr;
  y.assign(size_t{lumaStride} * rows, 0);
  cb.assign(size_t{chromaStride} * rows / 2, 0);
  cr.assign(size_t{chromaStride} * rows / 2, 0);
  JSAMPROW yRows[16], cbRows[8], crRows[8];
  JSAMPARRAY planes[3] = {yRows, cbRows, crRows};
  while (info.output_scanline < info.output_height) {
    const uint32_t top = info.output_scanline;
    for (uint32_t i = 0; i < 16; ++i) yRows[i] = &y[size_t{top + i} * lumaStride];
    for (uint32_t i = 0; i < 8; ++i) {
      cbRows[i] = &cb[size_t{top / 2 + i} * chromaStride];
      crRows[i] = &cr[size_t{top / 2 + i} * chromaStride];
    }
    if (jpeg_read_raw_data(&info, planes, 16) == 0) break;
  }
  out->y.resize(size_t{w} * h);
  out->cb.resize(size_t{cw} * ch);
  out->cr.resize(size_t{cw} * ch);
  for (uint32_t r = 0; r < h; ++r)
    std::copy_n(&y[size_t{r} * lumaStride], w, &out->y[size_t{r} * w]);
  for (uint32_t r = 0; r < ch; ++r) {
    std::copy_n(&cb[size_t{r} * chromaStride], cw, &out->cb[size_t{r} * cw]);
    std::copy_n(&cr[size_t{r} * chromaStride], cw, &out->cr[size_t{r} * cw]);
  }
}

// Full-size output rows of |components| samples a pixel.
void ReadRows(jpeg_decompress_struct& info, uint32_t components, std::vector<uint8_t>* rows) {
  const size_t stride = size_t{info.output_width} * components;
  rows->assign(stride * info.output_height, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &(*rows)[info.output_scanline * stride];
    if (jpeg_read_scanlines(&info, &row, 1) == 0) break;
  }
}

// Full-size YCbCr averaged down to 4:2:0 chroma (edge pixels repeated).
void SplitTo420(const std::vector<uint8_t>& ycc, DecodedJpeg* out) {
  const uint32_t w = out->width, h = out->height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  out->y.resize(size_t{w} * h);
  out->cb.resize(size_t{cw} * ch);
  out->cr.resize(size_t{cw} * ch);
  for (uint32_t r = 0; r < h; ++r)
    for (uint32_t x = 0; x < w; ++x) out->y[size_t{r} * w + x] = ycc[(size_t{r} * w + x) * 3];
  for (uint32_t r = 0; r < ch; ++r) {
    for (uint32_t x = 0; x < cw; ++x) {
      uint32_t sums[2] = {};
      for (uint32_t dy = 0; dy < 2; ++dy) {
        for (uint32_t dx = 0; dx < 2; ++dx) {
          const uint32_t sy = std::min(2 * r + dy, h - 1), sx = std::min(2 * x + dx, w - 1);
          sums[0] += ycc[(size_t{sy} * w + sx) * 3 + 1];
          sums[1] += ycc[(size_t{sy} * w + sx) * 3 + 2];
        }
      }
      out->cb[size_t{r} * cw + x] = static_cast<uint8_t>((sums[0] + 2) / 4);
      out->cr[size_t{r} * cw + x] = static_cast<uint8_t>((sums[1] + 2) / 4);
    }
  }
}


// How a trapped decode ended; the reason is put into words outside the frame that holds
// the jump target, which keeps that frame free of objects a jump could clobber.
enum class Outcome { Ok, LibraryError, Components, TooLarge, EndsEarly, Warned };

Outcome TrappedDecode(Decompressor& d, Scratch& scratch, const uint8_t* data, size_t size,
                      uint32_t max_width, uint32_t max_height, bool bgr, DecodedJpeg* out) {
  if (setjmp(d.trap.jump)) return Outcome::LibraryError;
  d.Create();
  jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&d.info, TRUE);
  if (d.info.num_components != 3) return Outcome::Components;
  if (d.info.image_width > max_width || d.info.image_height > max_height)
    return Outcome::TooLarge;
  out->width = d.info.image_width;
  out->height = d.info.image_height;
  d.info.dct_method = JDCT_ISLOW;
  const bool raw = !bgr && Is420(d.info);
  if (bgr) {
    d.info.out_color_space = JCS_EXT_BGR;
  } else {
    d.info.out_color_space = JCS_YCbCr;
    d.info.raw_data_out = raw ? TRUE : FALSE;
  }
  jpeg_start_decompress(&d.info);
  if (raw) {
    ReadRaw420(d.info, scratch, out);
  } else if (bgr) {
    ReadRows(d.info, 3, &out->bgr);
  } else {
    ReadRows(d.info, 3, &scratch.rows);
    SplitTo420(scratch.rows, out);
  }
  if (d.info.output_scanline < d.info.output_height) return Outcome::EndsEarly;
  jpeg_finish_decompress(&d.info);
  return d.trap.warned ? Outcome::Warned : Outcome::Ok;
}

bool TrappedReadSize(Decompressor& d, const uint8_t* data, size_t size) {
  if (setjmp(d.trap.jump)) return false;
  d.Create();
  jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&d.info, TRUE);
  return true;
}

}  // namespace

bool JpegDecoderAvailable() { return true; }

bool ReadJpegSize(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height,
                  std::string* error) {
  Decompressor d;
  if (!TrappedReadSize(d, data, size)) {
    if (error) *error = d.trap.message;
    return false;
  }
  *width = d.info.image_width;
  *height = d.info.image_height;
  return true;
}

bool DecodeJpeg(const uint8_t* data, size_t size, uint32_t max_width, uint32_t max_height,
                bool bgr, DecodedJpeg* out, std::string* error) {
  Decompressor d;
  Scratch scratch;
  const Outcome outcome =
      TrappedDecode(d, scratch, data, size, max_width, max_height, bgr, out);
  if (outcome == Outcome::Ok) return true;
  if (error == nullptr) return false;
  switch (outcome) {
    case Outcome::Components:
      *error = "stream of " + std::to_string(d.info.num_components) + " components";
      break;
    case Outcome::TooLarge:
      *error = "stream of " + std::to_string(d.info.image_width) + " x " +
               std::to_string(d.info.image_height) + " for a target of " +
               std::to_string(max_width) + " x " + std::to_string(max_height);
      break;
    case Outcome::EndsEarly:
      *error = "stream ends early";
      break;
    default:
      *error = d.trap.message;
      break;
  }
  return false;
}

#else  // no decoder in this build

bool JpegDecoderAvailable() { return false; }

bool ReadJpegSize(const uint8_t*, size_t, uint32_t*, uint32_t*, std::string* error) {
  if (error) *error = "no JPEG decoder in this build";
  return false;
}

bool DecodeJpeg(const uint8_t*, size_t, uint32_t, uint32_t, bool, DecodedJpeg*,
                std::string* error) {
  if (error) *error = "no JPEG decoder in this build";
  return false;
}

#endif

}  // namespace vorn::chip
