// The icon PNG written for the desktop menu: the same pixels the window icon
// is made of, alpha included, or nothing at all.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <cstdint>
#include <string>

#include "platform_qt/resources.h"

namespace {

constexpr int kIcon = 4301;

class IconPngTest : public ::testing::Test {
 protected:
  std::string PathFor(const char* name) const { return dir_.filePath(name).toStdString(); }

 private:
  QTemporaryDir dir_;
};

TEST_F(IconPngTest, ReadsBackPixelForPixelWithStraightAlpha) {
  // Opaque, transparent and half-transparent pixels: a premultiplying or
  // alpha-dropping conversion changes the last two, a swapped channel order
  // the first row.
  const std::uint32_t pixels[] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu,
                                  0x00000000u, 0x80F2C230u, 0x401E2A38u};
  ASSERT_TRUE(platform::RegisterIcon(kIcon, 3, 2, pixels));
  const std::string path = PathFor("icon.png");
  ASSERT_TRUE(platform::SaveIconPng(kIcon, path));

  QImage image;
  ASSERT_TRUE(image.load(QString::fromStdString(path), "PNG"));
  ASSERT_EQ(image.width(), 3);
  ASSERT_EQ(image.height(), 2);
  EXPECT_TRUE(image.hasAlphaChannel());
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(image.pixel(x, y), pixels[y * 3 + x]) << "at " << x << "," << y;
    }
  }
}

TEST_F(IconPngTest, FailsWithoutWritingForAnUnknownIconOrAnUnwritablePath) {
  const std::string missing = PathFor("missing.png");
  EXPECT_FALSE(platform::SaveIconPng(4302, missing));
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(missing)));

  const std::uint32_t pixel = 0xFF000000u;
  ASSERT_TRUE(platform::RegisterIcon(kIcon, 1, 1, &pixel));
  EXPECT_FALSE(platform::SaveIconPng(kIcon, PathFor("no/such/folder/icon.png")));
}

}  // namespace
