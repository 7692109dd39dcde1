#include "ui/support/picture.h"

#include <QFile>
#include <QIcon>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "ui/support/jpeg_image.h"

using ui::transparentPicture;
using ui::withTransparentGround;

namespace {

struct ButtonPicture {
  const char* resource;
  // Something of the motif that must survive: a colour test that some opaque
  // pixel passes.
  std::function<bool(QColor)> motif;
  const char* motifName;
};

bool greenish(QColor c) {
  return c.green() >= 140 && c.red() < 80 && c.blue() < 80;
}
bool reddish(QColor c) {
  return c.red() >= 180 && c.green() < 80 && c.blue() < 80;
}
bool bluish(QColor c) {
  return c.blue() >= 180 && c.red() < 80 && c.green() < 120;
}
bool yellowish(QColor c) {
  return c.red() >= 220 && c.green() >= 200 && c.blue() < 80;
}
bool cyanish(QColor c) {
  return c.red() < 60 && c.green() >= 220 && c.blue() >= 220;
}
bool white(QColor c) {
  return c.red() >= 245 && c.green() >= 245 && c.blue() >= 245;
}
bool skin(QColor c) {
  return c.red() >= 220 && c.green() >= 160 && c.blue() >= 100 && c.blue() < 190;
}

const ButtonPicture kButtons[] = {
    {":/start.bmp", greenish, "green squares"},
    {":/stop.bmp", reddish, "red squares"},
    {":/inputs.bmp", bluish, "blue ring"},
    {":/input1.bmp", white, "white digit"},
    {":/input2.bmp", white, "white digit"},
    {":/input3.bmp", white, "white digit"},
    {":/clear.bmp", reddish, "red cross"},
    {":/help.bmp", yellowish, "yellow question mark"},
    {":/about.bmp", skin, "face"},
    {":/exit.bmp", cyanish, "cyan arrow"},
};

int transparentCount(const QImage& image) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) n += qAlpha(image.pixel(x, y)) == 0;
  }
  return n;
}

}  // namespace

TEST(ButtonPictures, AreOpaque32x32BitmapsInTheResources) {
  for (const ButtonPicture& b : kButtons) {
    SCOPED_TRACE(b.resource);
    const QImage image(QString::fromLatin1(b.resource));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(32, 32));
    EXPECT_FALSE(image.hasAlphaChannel());
  }
}

TEST(ButtonPictures, LoseTheirGroundButKeepTheirMotif) {
  for (const ButtonPicture& b : kButtons) {
    SCOPED_TRACE(b.resource);
    const QString resource = QString::fromLatin1(b.resource);
    const QImage original(resource);
    const QPixmap pixmap = transparentPicture(resource);
    ASSERT_FALSE(pixmap.isNull());
    EXPECT_EQ(pixmap.size(), QSize(32, 32));
    const QImage image = pixmap.toImage();

    EXPECT_EQ(qAlpha(image.pixel(0, 31)), 0) << "lower-left pixel still opaque";
    const QRgb ground = original.pixel(0, 31) & RGB_MASK;
    bool motifSeen = false;
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 32; ++x) {
        const QRgb was = original.pixel(x, y) & RGB_MASK;
        const QRgb now = image.pixel(x, y);
        if (was == ground) {
          ASSERT_EQ(qAlpha(now), 0) << "ground left at " << x << "," << y;
        } else {
          ASSERT_EQ(qAlpha(now), 255) << "motif lost at " << x << "," << y;
          ASSERT_EQ(now & RGB_MASK, was) << "colour changed at " << x << "," << y;
          motifSeen = motifSeen || b.motif(QColor(now));
        }
      }
    }
    EXPECT_TRUE(motifSeen) << "no " << b.motifName;
  }
}

TEST(ButtonPictures, TheInputKeysAreOpaqueButForTheirLowerLeftPixel) {
  for (const char* resource : {":/input1.bmp", ":/input2.bmp", ":/input3.bmp"}) {
    SCOPED_TRACE(resource);
    const QImage image = transparentPicture(QString::fromLatin1(resource)).toImage();
    ASSERT_EQ(image.size(), QSize(32, 32));
    EXPECT_EQ(transparentCount(image), 1);
    EXPECT_EQ(qAlpha(image.pixel(0, 31)), 0);
    // The key fills the picture: its face is green.
    EXPECT_TRUE(greenish(image.pixelColor(6, 6)));
  }
}

TEST(ButtonPictures, TheInputKeysDiffer) {
  const QImage one(QStringLiteral(":/input1.bmp"));
  const QImage two(QStringLiteral(":/input2.bmp"));
  const QImage three(QStringLiteral(":/input3.bmp"));
  EXPECT_NE(one, two);
  EXPECT_NE(two, three);
  EXPECT_NE(one, three);
}

TEST(Icons, Are32x32With16ColoursAtMost) {
  for (const char* resource : {":/app_icon.bmp", ":/about_icon.bmp"}) {
    SCOPED_TRACE(resource);
    const QImage image =
        QImage(QString::fromLatin1(resource)).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(32, 32));
    std::set<QRgb> colours;
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 32; ++x) colours.insert(image.pixel(x, y));
    }
    EXPECT_LE(colours.size(), 16u);
    EXPECT_GE(colours.size(), 3u);
    EXPECT_FALSE(QIcon(transparentPicture(QString::fromLatin1(resource))).isNull());
  }
}

TEST(Icons, TheAppIconIsAWhiteSheetWithBlueDigits) {
  const QImage image = transparentPicture(QStringLiteral(":/app_icon.bmp")).toImage();
  ASSERT_EQ(image.size(), QSize(32, 32));
  int whitePixels = 0, bluePixels = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.alpha() == 0) continue;
      whitePixels += white(c);
      bluePixels += bluish(c);
    }
  }
  EXPECT_GT(whitePixels, 250);
  EXPECT_GT(bluePixels, 60);
  EXPECT_EQ(qAlpha(image.pixel(0, 31)), 0);
}

TEST(Resources, HoldTheAboutBoxBackground) {
  QFile file(QStringLiteral(":/about_sky.jpg"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const ui::JpegResult result = ui::decodeJpeg(file.readAll());
  EXPECT_TRUE(result.error.isEmpty()) << result.error.toStdString();
  EXPECT_EQ(result.image.size(), QSize(471, 257));
}

TEST(Resources, LeaveTheHelpFileOut) {
  EXPECT_FALSE(QFile::exists(QStringLiteral(":/Rilvet.hlp")));
}

TEST(TransparentGround, EveryPixelOfTheCornerColourGoesAndNothingElse) {
  QImage image(4, 3, QImage::Format_RGB888);
  image.fill(QColor(10, 20, 30));
  image.setPixelColor(0, 2, QColor(200, 0, 0));  // lower-left: the ground
  image.setPixelColor(3, 0, QColor(200, 0, 0));  // the same colour elsewhere
  image.setPixelColor(2, 1, QColor(200, 0, 1));  // a near miss stays
  const QImage out = withTransparentGround(image);
  ASSERT_EQ(out.size(), QSize(4, 3));
  EXPECT_EQ(out.format(), QImage::Format_ARGB32);
  EXPECT_EQ(qAlpha(out.pixel(0, 2)), 0);
  EXPECT_EQ(qAlpha(out.pixel(3, 0)), 0);
  EXPECT_EQ(out.pixel(2, 1), qRgba(200, 0, 1, 255));
  EXPECT_EQ(out.pixel(0, 0), qRgba(10, 20, 30, 255));
  EXPECT_EQ(transparentCount(out), 2);
}

TEST(TransparentGround, IgnoresTheSourceAlpha) {
  QImage image(2, 2, QImage::Format_ARGB32);
  image.fill(qRgba(0, 0, 255, 255));
  image.setPixel(0, 1, qRgba(0, 255, 0, 255));  // ground
  image.setPixel(1, 1, qRgba(0, 255, 0, 40));   // same colour, other alpha: still ground
  image.setPixel(1, 0, qRgba(255, 0, 0, 0));    // an invisible pixel of another colour shows
  const QImage out = withTransparentGround(image);
  EXPECT_EQ(qAlpha(out.pixel(1, 1)), 0);
  EXPECT_EQ(out.pixel(1, 0), qRgba(255, 0, 0, 255));
  EXPECT_EQ(out.pixel(0, 0), qRgba(0, 0, 255, 255));
}

TEST(TransparentGround, MissingPictureGivesANullPixmap) {
  EXPECT_TRUE(withTransparentGround(QImage()).isNull());
  EXPECT_TRUE(transparentPicture(QStringLiteral(":/no-such-picture.bmp")).isNull());
}
