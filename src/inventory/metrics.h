#pragma once
// The measurements taken on a preview bitmap: 81 luminance samples (the
// LumaGrid) and what is computed from them.
#include <array>
#include <cstdint>
#include <string>

#include "bridge/photos/library.h"

namespace velmora::inventory {

// 9 rows by 9 columns, row-major, each 299 r + 587 g + 114 b with the
// components in [0, 1]: values from 0 to 1000.
using LumaGrid = std::array<double, 81>;

// Samples pixel (j (W-1)/8, i (H-1)/8) for row i and column j, so the first
// and last pixel rows and columns are included. The bitmap must not be empty.
LumaGrid lumaGrid(const photos::RgbImage& bitmap);

// Difference hash over rows 0 to 7: bit set when a sample is strictly
// brighter than its right neighbour; (0,0) ends in the most significant
// bit, (7,7) in the least.
std::uint64_t differenceHash(const LumaGrid& grid);

// Population variance of the 81 samples, each term divided by 81 as it is
// added, around the mean accumulated the same way.
double lumaVariance(const LumaGrid& grid);

// Mean absolute discrete Laplacian over the inner 7 x 7 samples, each term
// divided by 49 as it is added.
double lumaSharpness(const LumaGrid& grid);

// Unsigned decimal, no leading zeros: "0" for a zero hash.
std::string dhashString(std::uint64_t hash);

}  // namespace velmora::inventory
