#pragma once
// Small pictures that tests write into their libraries.
#include <filesystem>

namespace velmora::testing {

// A JPEG of one grey (`shade`), creating parent folders.
void writeFlatJpeg(const std::filesystem::path& file, int shade, int width = 32, int height = 24);

// A JPEG of grey noise: much larger than a flat one of the same size.
void writeNoiseJpeg(const std::filesystem::path& file, int width, int height);

}  // namespace velmora::testing
