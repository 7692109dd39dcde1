#include "ui/support/jpeg_image.h"

#include <QFile>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

using ui::decodeJpeg;

namespace {

const QString kErrorPrefix = QStringLiteral("Не удалось прочитать картинку: ");

QByteArray readFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

QByteArray sky() {
  return readFile(QStringLiteral(RILVET_RESOURCES_DIR "/about_sky.jpg"));
}

int brightness(const QImage& image, int x, int y) {
  const QRgb c = image.pixel(x, y);
  return qRed(c) + qGreen(c) + qBlue(c);
}

// Test pictures made with libjpeg's own compressor, so that a decoding fault
// cannot be hidden by a matching fault in another decoder.
struct EncodeOptions {
  bool grayscale = false;
  bool progressive = false;
};

QByteArray encodeJpeg(const QImage& source, EncodeOptions options = {}) {
  const QImage image = source.convertToFormat(QImage::Format_RGB888);
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);  // the inputs are valid: errors abort the test program
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(image.width());
  info.image_height = static_cast<JDIMENSION>(image.height());
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 100, TRUE);
  if (options.grayscale) jpeg_set_colorspace(&info, JCS_GRAYSCALE);
  if (options.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(static_cast<std::size_t>(image.width()) * 3);
  while (info.next_scanline < info.image_height) {
    const uchar* line = image.constScanLine(static_cast<int>(info.next_scanline));
    std::copy(line, line + row.size(), row.begin());
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  QByteArray out(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(size));
  std::free(buffer);
  return out;
}

// Four flat quadrants: red, green / blue, white.
QImage quadrants() {
  QImage image(32, 16, QImage::Format_RGB888);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const bool right = x >= 16;
      const bool bottom = y >= 8;
      QColor c = !bottom ? (right ? Qt::green : Qt::red) : (right ? Qt::white : Qt::blue);
      image.setPixelColor(x, y, c);
    }
  }
  return image;
}

void expectNear(QRgb actual, QColor expected, int tolerance, const char* where) {
  EXPECT_NEAR(qRed(actual), expected.red(), tolerance) << where;
  EXPECT_NEAR(qGreen(actual), expected.green(), tolerance) << where;
  EXPECT_NEAR(qBlue(actual), expected.blue(), tolerance) << where;
}

void expectFailure(const ui::JpegResult& result, const char* libjpegWords = nullptr) {
  EXPECT_TRUE(result.image.isNull());
  EXPECT_TRUE(result.error.startsWith(kErrorPrefix)) << result.error.toStdString();
  EXPECT_GT(result.error.size(), kErrorPrefix.size()) << "no reason given";
  if (libjpegWords != nullptr) {
    EXPECT_TRUE(result.error.contains(QLatin1String(libjpegWords), Qt::CaseInsensitive))
        << result.error.toStdString();
  }
}

}  // namespace

TEST(DecodeJpeg, AboutSkyDecodesAtItsFullSize) {
  const QByteArray data = sky();
  ASSERT_FALSE(data.isEmpty()) << "about_sky.jpg is missing";
  const ui::JpegResult result = decodeJpeg(data);
  EXPECT_TRUE(result.error.isEmpty()) << result.error.toStdString();
  ASSERT_FALSE(result.image.isNull());
  EXPECT_EQ(result.image.size(), QSize(471, 257));
  EXPECT_EQ(result.image.format(), QImage::Format_RGB888);
}

TEST(DecodeJpeg, AboutSkyIsBrightAndPaleAtTheTop) {
  const QImage image = decodeJpeg(sky()).image;
  ASSERT_EQ(image.size(), QSize(471, 257));
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      ASSERT_GE(std::min({c.red(), c.green(), c.blue()}), 140) << x << "," << y;
      ASSERT_LE(c.hsvSaturation(), 110) << x << "," << y;  // pale, not a deep blue
      ASSERT_GE(c.blue(), c.red()) << x << "," << y;       // still a sky colour
    }
  }
}

TEST(DecodeJpeg, AboutSkyHasASunBrighterThanTheSkyAroundIt) {
  const QImage image = decodeJpeg(sky()).image;
  ASSERT_EQ(image.size(), QSize(471, 257));
  int brightest = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x)
      brightest = std::max(brightest, brightness(image, x, y));
  }
  EXPECT_GE(brightest, 3 * 245);

  // The sun: the pixels within a whisker of the brightest, one round blob.
  double sumX = 0, sumY = 0;
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (brightness(image, x, y) >= brightest - 15) {
        sumX += x;
        sumY += y;
        ++count;
      }
    }
  }
  ASSERT_GT(count, 300) << "no sun disc, only a few bright pixels";
  ASSERT_LT(count, 5000);
  const double cx = sumX / count, cy = sumY / count;
  const double radius = std::sqrt(count / std::numbers::pi);
  EXPECT_LT(cy, image.height() / 2.0) << "the sun should stand high";
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (brightness(image, x, y) >= brightest - 15) {
        ASSERT_LE(std::hypot(x - cx, y - cy), 1.3 * radius + 2) << "bright pixels outside the disc";
      }
    }
  }

  // The sky around it, at twice the disc's radius, is clearly darker.
  long ringSum = 0;
  int ringCount = 0;
  for (int i = 0; i < 72; ++i) {
    const double a = i * std::numbers::pi / 36;
    const int x = static_cast<int>(cx + 2 * radius * std::cos(a));
    const int y = static_cast<int>(cy + 2 * radius * std::sin(a));
    if (x < 0 || y < 0 || x >= image.width() || y >= image.height()) continue;
    ringSum += brightness(image, x, y);
    ++ringCount;
  }
  ASSERT_GT(ringCount, 20);
  EXPECT_LE(ringSum / ringCount, brightest - 30);
}

TEST(DecodeJpeg, KeepsColoursInRgbOrder) {
  const ui::JpegResult result = decodeJpeg(encodeJpeg(quadrants()));
  ASSERT_TRUE(result.error.isEmpty()) << result.error.toStdString();
  ASSERT_EQ(result.image.size(), QSize(32, 16));
  expectNear(result.image.pixel(4, 4), Qt::red, 24, "top left");
  expectNear(result.image.pixel(27, 4), Qt::green, 24, "top right");
  expectNear(result.image.pixel(4, 12), Qt::blue, 24, "bottom left");
  expectNear(result.image.pixel(27, 12), Qt::white, 24, "bottom right");
}

TEST(DecodeJpeg, GrayscaleAndProgressivePicturesComeOutAsRgb) {
  const ui::JpegResult gray = decodeJpeg(encodeJpeg(quadrants(), {.grayscale = true}));
  ASSERT_TRUE(gray.error.isEmpty()) << gray.error.toStdString();
  EXPECT_EQ(gray.image.format(), QImage::Format_RGB888);
  const QRgb white = gray.image.pixel(27, 12);
  EXPECT_EQ(qRed(white), qGreen(white));
  EXPECT_EQ(qGreen(white), qBlue(white));
  EXPECT_GE(qRed(white), 240);

  const ui::JpegResult progressive = decodeJpeg(encodeJpeg(quadrants(), {.progressive = true}));
  ASSERT_TRUE(progressive.error.isEmpty()) << progressive.error.toStdString();
  expectNear(progressive.image.pixel(4, 12), Qt::blue, 24, "bottom left");
}

TEST(DecodeJpeg, EmptyDataIsAnError) {
  expectFailure(decodeJpeg(QByteArray()));
}

TEST(DecodeJpeg, GarbageIsAnError) {
  expectFailure(decodeJpeg(QByteArray("this is not a picture at all, just text")), "not a jpeg");
  expectFailure(decodeJpeg(QByteArray(4096, '\xFF')));
}

TEST(DecodeJpeg, TruncatedFileIsAnErrorNotAHalfPicture) {
  const QByteArray data = sky();
  ASSERT_GT(data.size(), 1000);
  expectFailure(decodeJpeg(data.left(data.size() / 2)), "premature end");
  expectFailure(decodeJpeg(data.left(data.size() - 2)));  // only the end marker missing
  expectFailure(decodeJpeg(data.left(100)));              // cut inside the header
  expectFailure(decodeJpeg(data.left(2)));                // the start marker alone
}

TEST(DecodeJpeg, CorruptScanDataIsAnError) {
  QByteArray data = sky();
  ASSERT_GT(data.size(), 1000);
  // An end-of-image marker in the middle of the compressed rows.
  const qsizetype middle = data.size() / 2;
  data[middle] = '\xFF';
  data[middle + 1] = '\xD9';
  expectFailure(decodeJpeg(data));
}

TEST(DecodeJpeg, RecoversForTheNextPictureAfterAnError) {
  expectFailure(decodeJpeg(sky().left(300)));
  const ui::JpegResult result = decodeJpeg(encodeJpeg(quadrants()));
  EXPECT_TRUE(result.error.isEmpty()) << result.error.toStdString();
  EXPECT_EQ(result.image.size(), QSize(32, 16));
}
