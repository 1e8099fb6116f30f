#include "inventory/metrics.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace velmora::inventory {

namespace {

double at(const LumaGrid& grid, int row, int column) { return grid[row * 9 + column]; }

}  // namespace

LumaGrid lumaGrid(const photos::RgbImage& bitmap) {
  LumaGrid grid{};
  const std::int64_t width = bitmap.width;
  const std::int64_t height = bitmap.height;
  for (std::int64_t i = 0; i < 9; ++i) {
    for (std::int64_t j = 0; j < 9; ++j) {
      const std::int64_t x = j * (width - 1) / 8;
      const std::int64_t y = i * (height - 1) / 8;
      const std::size_t offset = static_cast<std::size_t>((y * width + x) * 3);
      const double r = bitmap.pixels[offset] / 255.0;
      const double g = bitmap.pixels[offset + 1] / 255.0;
      const double b = bitmap.pixels[offset + 2] / 255.0;
      grid[static_cast<std::size_t>(i * 9 + j)] = 299 * r + 587 * g + 114 * b;
    }
  }
  return grid;
}

std::uint64_t differenceHash(const LumaGrid& grid) {
  std::uint64_t hash = 0;
  for (int k = 0; k < 8; ++k) {
    for (int l = 0; l < 8; ++l) {
      hash = (hash << 1) | (at(grid, k, l) > at(grid, k, l + 1) ? 1u : 0u);
    }
  }
  return hash;
}

double lumaVariance(const LumaGrid& grid) {
  double mean = 0;
  for (const double value : grid) mean += value / 81;
  double variance = 0;
  for (const double value : grid) variance += (value - mean) * (value - mean) / 81;
  return variance;
}

double lumaSharpness(const LumaGrid& grid) {
  double sharpness = 0;
  for (int m = 1; m <= 7; ++m) {
    for (int n = 1; n <= 7; ++n) {
      const double v = 4 * at(grid, m, n) - at(grid, m, n - 1) - at(grid, m, n + 1) -
                       at(grid, m - 1, n) - at(grid, m + 1, n);
      sharpness += std::fabs(v) / 49;
    }
  }
  return sharpness;
}

std::string dhashString(std::uint64_t hash) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, hash);
  return text;
}

}  // namespace velmora::inventory
