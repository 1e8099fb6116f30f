#pragma once
// Comparing rendered pictures.
#include <cstdlib>
#include <limits>

#include "bridge/photos/library.h"

namespace velmora::testing {

// Mean absolute difference per byte; infinity when the sizes differ.
inline double meanDifference(const photos::RgbImage& a, const photos::RgbImage& b) {
  if (a.width != b.width || a.height != b.height) return std::numeric_limits<double>::infinity();
  double sum = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(a.pixels[i] - b.pixels[i]);
  return sum / static_cast<double>(a.pixels.size());
}

}  // namespace velmora::testing
