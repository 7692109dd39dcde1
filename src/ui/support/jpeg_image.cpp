#include "ui/support/jpeg_image.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h expects FILE to be declared

#include <jpeglib.h>

namespace ui {
namespace {

// libjpeg reports a fatal error through error_exit, which must not return: we
// jump back to the setjmp of the decoding step that called libjpeg. Those steps
// keep nothing but plain pointers in their frames, and every C++ object lives
// in decodeJpeg's frame, which the jump never leaves, so nothing is skipped.
// Warnings are remembered instead: libjpeg would paper over missing or corrupt
// data with grey, and we would rather report the picture as unreadable.
struct ErrorTrap {
  jpeg_error_mgr mgr;  // first, so libjpeg's pointer to it is a pointer to us
  std::jmp_buf jump;
  bool warned;
  char message[JMSG_LENGTH_MAX];
};

struct Decoder {
  jpeg_decompress_struct info;
  ErrorTrap trap;
};

ErrorTrap* trapOf(j_common_ptr info) {
  return reinterpret_cast<ErrorTrap*>(info->err);
}

[[noreturn]] void onError(j_common_ptr info) {
  ErrorTrap* trap = trapOf(info);
  (*info->err->format_message)(info, trap->message);
  std::longjmp(trap->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace output, not a problem
  ErrorTrap* trap = trapOf(info);
  if (!trap->warned) {
    (*info->err->format_message)(info, trap->message);
    trap->warned = true;
  }
  ++info->err->num_warnings;
}

// Reads the header and starts decompression to RGB. False after an error or a
// warning; the reason is in trap.message.
bool startDecoding(Decoder* d, const unsigned char* data, unsigned long size) {
  if (setjmp(d->trap.jump) != 0) return false;
  jpeg_create_decompress(&d->info);
  jpeg_mem_src(&d->info, data, size);
  jpeg_read_header(&d->info, TRUE);
  d->info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d->info);
  return !d->trap.warned;
}

// Reads every row into the buffer and finishes. False after an error or a
// warning (a truncated file ends in a warning, not an error).
bool readRows(Decoder* d, unsigned char* bits, std::size_t stride) {
  if (setjmp(d->trap.jump) != 0) return false;
  while (d->info.output_scanline < d->info.output_height) {
    JSAMPROW row = bits + stride * d->info.output_scanline;
    if (jpeg_read_scanlines(&d->info, &row, 1) != 1 || d->trap.warned) return false;
  }
  jpeg_finish_decompress(&d->info);
  return !d->trap.warned;
}

}  // namespace

JpegResult decodeJpeg(const QByteArray& data) {
  JpegResult result;
  // Plain C structures, zeroed so that destroying them is safe whatever step failed.
  Decoder d{};
  d.info.err = jpeg_std_error(&d.trap.mgr);
  d.trap.mgr.error_exit = onError;
  d.trap.mgr.emit_message = onMessage;

  QString reason;
  if (startDecoding(&d, reinterpret_cast<const unsigned char*>(data.constData()),
                    static_cast<unsigned long>(data.size()))) {
    if (d.info.output_components != 3) {
      reason = QStringLiteral("неподдерживаемый формат цвета");
    } else {
      QImage image(static_cast<int>(d.info.output_width), static_cast<int>(d.info.output_height),
                   QImage::Format_RGB888);
      if (image.isNull()) {
        reason = QStringLiteral("недостаточно памяти");
      } else if (readRows(&d, image.bits(), static_cast<std::size_t>(image.bytesPerLine()))) {
        result.image = image;
      } else {
        reason = QString::fromLatin1(d.trap.message);
      }
    }
  } else {
    reason = QString::fromLatin1(d.trap.message);
  }
  jpeg_destroy_decompress(&d.info);

  if (result.image.isNull()) {
    result.error = QStringLiteral("Не удалось прочитать картинку: ") + reason;
  }
  return result;
}

}  // namespace ui
