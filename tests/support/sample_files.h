#pragma once
// Small pictures that tests write into their libraries.
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::testing {

// A JPEG of one grey (`shade`), creating parent folders.
void writeFlatJpeg(const std::filesystem::path& file, int shade, int width = 32, int height = 24);

// A JPEG of grey noise: much larger than a flat one of the same size.
void writeNoiseJpeg(const std::filesystem::path& file, int width, int height);

// Pictures that are valid but hard to render, written into `folder`:
//   cmyk_profile.jpg     CMYK with an embedded profile, red-brown (200, 30, 30)
//   cmyk_no_profile.jpg  the same inks without a profile
//   grey16_alpha.png     16-bit grey with an alpha channel
//   flag16.png           16-bit RGB, a red stripe above white and blue
//   p3.png               a Display P3 profile
//   transparent.png      RGBA, the left half fully transparent
//   alpha.heic           the same as HEIC, with its alpha channel
//   odd.heic             451 x 461 HEIC (coded larger, cropped by the container)
// and, cut off in the middle of their pixel data: truncated.jpg,
// truncated.png, truncated.gif. Returns the names, in that order.
std::vector<std::string> writeTrickyPictures(const std::filesystem::path& folder);

}  // namespace velmora::testing
