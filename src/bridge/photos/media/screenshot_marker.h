#pragma once
#include <string_view>

namespace velmora::photos {

// The marker iOS writes into EXIF (and XMP) UserComment of screenshots.
bool isScreenshotComment(std::string_view comment);

}  // namespace velmora::photos
