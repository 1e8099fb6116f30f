#include "inventory/metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace velmora::inventory {
namespace {

using photos::RgbImage;

RgbImage filled(std::uint32_t width, std::uint32_t height, std::uint8_t r = 0, std::uint8_t g = 0,
                std::uint8_t b = 0) {
  RgbImage image{width, height, {}};
  image.pixels.resize(std::size_t{width} * height * 3);
  for (std::size_t p = 0; p < image.pixels.size(); p += 3) {
    image.pixels[p] = r;
    image.pixels[p + 1] = g;
    image.pixels[p + 2] = b;
  }
  return image;
}

void paint(RgbImage& image, std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g,
           std::uint8_t b) {
  const std::size_t offset = (std::size_t{y} * image.width + x) * 3;
  image.pixels[offset] = r;
  image.pixels[offset + 1] = g;
  image.pixels[offset + 2] = b;
}

struct Measured {
  std::string hash;
  double variance;
  double sharpness;
};

Measured measure(const RgbImage& image) {
  const LumaGrid grid = lumaGrid(image);
  return {dhashString(differenceHash(grid)), lumaVariance(grid), lumaSharpness(grid)};
}

TEST(PreviewMetrics, AllBlackIsExactlyZero) {
  const Measured black = measure(filled(600, 400));
  EXPECT_EQ(black.hash, "0");
  EXPECT_EQ(black.variance, 0.0);
  EXPECT_EQ(black.sharpness, 0.0);
}

TEST(PreviewMetrics, SingleColourHashesToZero) {
  for (const auto& [r, g, b] :
       std::vector<std::tuple<int, int, int>>{{255, 255, 255}, {10, 200, 30}, {128, 0, 255}}) {
    const auto image = filled(123, 77, static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                              static_cast<std::uint8_t>(b));
    EXPECT_EQ(measure(image).hash, "0");
  }
}

TEST(PreviewMetrics, LumaUsesBt601WeightsOnComponentsOverByteMax) {
  struct Case {
    std::uint8_t r, g, b;
    double luma;
  };
  for (const Case& c : std::vector<Case>{
           {255, 0, 0, 299},
           {0, 255, 0, 587},
           {0, 0, 255, 114},
           {255, 255, 255, 1000},
           {128, 64, 32, 299 * (128 / 255.0) + 587 * (64 / 255.0) + 114 * (32 / 255.0)}}) {
    const LumaGrid grid = lumaGrid(filled(5, 5, c.r, c.g, c.b));
    for (const double value : grid) EXPECT_EQ(value, c.luma);
  }
}

TEST(PreviewMetrics, SingleBitHashesLandAtBothEnds) {
  // 9 x 9 pixels: every sample is its own pixel.
  struct Case {
    std::uint32_t x, y;
    const char* hash;
  };
  for (const Case& c :
       std::vector<Case>{{0, 0, "9223372036854775808"},  // 2^63
                         {7, 7, "1"},
                         {1, 0, "4611686018427387904"},  // (0,1) > (0,2); (0,0) < (0,1)
                         {0, 8, "0"}}) {                 // row 8 never compared
    RgbImage image = filled(9, 9);
    paint(image, c.x, c.y, 255, 255, 255);
    EXPECT_EQ(measure(image).hash, c.hash) << c.x << "," << c.y;
  }
  EXPECT_EQ(dhashString(~std::uint64_t{0}), "18446744073709551615");
}

TEST(PreviewMetrics, BottomRowMovesVarianceAndSharpnessButNotHash) {
  std::mt19937 random(7);
  RgbImage image = filled(9, 9);
  for (auto& byte : image.pixels) byte = static_cast<std::uint8_t>(random());
  const Measured before = measure(image);
  RgbImage changed = image;
  for (std::uint32_t x = 0; x < 9; ++x) paint(changed, x, 8, 255, 255, 255);
  const Measured after = measure(changed);
  EXPECT_EQ(after.hash, before.hash);
  EXPECT_NE(after.variance, before.variance);
  EXPECT_NE(after.sharpness, before.sharpness);

  // Only the corners of row 8 changed: they feed no Laplacian.
  RgbImage corners = image;
  paint(corners, 0, 8, 1, 2, 3);
  paint(corners, 8, 8, 1, 2, 3);
  EXPECT_EQ(measure(corners).sharpness, before.sharpness);
}

TEST(PreviewMetrics, OnePixelWideRowsHoldNineEqualSamples) {
  RgbImage image = filled(1, 50);
  for (std::uint32_t y = 0; y < 50; ++y) {
    paint(image, 0, y, static_cast<std::uint8_t>(y * 5), 0, static_cast<std::uint8_t>(255 - y));
  }
  const LumaGrid grid = lumaGrid(image);
  for (int i = 0; i < 9; ++i) {
    for (int j = 1; j < 9; ++j) EXPECT_EQ(grid[i * 9 + j], grid[i * 9]);
  }
  EXPECT_EQ(measure(image).hash, "0");
}

TEST(PreviewMetrics, SamplesIncludeLastPixelAndTruncateBetween) {
  // Ten columns: x = j * 9 / 8 gives 0 1 2 3 4 5 6 7 9, so column 8 is skipped.
  struct Case {
    std::uint32_t column;
    int sampledAs;  // grid column that sees it, -1 for none
  };
  for (const Case& c : std::vector<Case>{{8, -1}, {9, 8}, {0, 0}, {7, 7}}) {
    RgbImage image = filled(10, 10);
    for (std::uint32_t y = 0; y < 10; ++y) paint(image, c.column, y, 255, 255, 255);
    const LumaGrid grid = lumaGrid(image);
    for (int j = 0; j < 9; ++j) {
      EXPECT_EQ(grid[4 * 9 + j], j == c.sampledAs ? 1000.0 : 0.0) << c.column << " " << j;
    }
  }
}

TEST(PreviewMetrics, MeansAddTermsAlreadyDivided) {
  std::mt19937 random(11);
  RgbImage image = filled(600, 450);
  for (auto& byte : image.pixels) byte = static_cast<std::uint8_t>(random());
  const LumaGrid grid = lumaGrid(image);

  double mean = 0;
  for (const double value : grid) mean += value / 81;
  double variance = 0;
  for (const double value : grid) variance += std::pow(value - mean, 2) / 81;
  double sharpness = 0;
  for (int m = 1; m <= 7; ++m) {
    for (int n = 1; n <= 7; ++n) {
      const double v = 4 * grid[m * 9 + n] - grid[m * 9 + n - 1] - grid[m * 9 + n + 1] -
                       grid[(m - 1) * 9 + n] - grid[(m + 1) * 9 + n];
      sharpness += std::fabs(v) / 49;
    }
  }
  EXPECT_EQ(lumaVariance(grid), variance);
  EXPECT_EQ(lumaSharpness(grid), sharpness);
  EXPECT_GE(sharpness, 0.0);
  EXPECT_LE(sharpness, 4000.0);
}

}  // namespace
}  // namespace velmora::inventory
