#pragma once
#include <string_view>

namespace velmora::photos {

// Whether a still's path relative to the library shows it to be a screenshot:
// it lies in a folder named exactly "Screenshots" or "Bildschirmfotos" (as
// GNOME names it, at any depth), or its name is one that screenshot tools
// give:
//   GNOME   "Screenshot from 2024-03-01 12-30-45.png", "Bildschirmfoto vom …"
//   KDE     "Screenshot_20240301_123045.png"
//   Android "Screenshot_20240301-123045.png" (also with an app suffix)
//   macOS   "Screenshot 2024-03-01 at 12.30.45.png", "Screen Shot …",
//           "Bildschirmfoto 2024-03-01 um 12.30.45.png"
bool screenshotByPath(std::string_view relativePath);

}  // namespace velmora::photos
