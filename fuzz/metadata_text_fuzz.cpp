// The texts behind an asset's attributes: EXIF, XMP and container dates,
// and the names and comments that mark screenshots. Three fields split by
// NUL bytes.
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "bridge/photos/media/capture_date.h"
#include "bridge/photos/screenshot.h"
#include "bridge/photos/media/screenshot_marker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (fields.size() < 2) {
    const std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos) break;
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  fields.push_back(text.substr(std::min(start, text.size())));
  while (fields.size() < 3) fields.emplace_back();

  if (const auto date = velmora::photos::exifDateTime(fields[0], fields[1], fields[2])) {
    if (!std::isfinite(*date)) std::abort();
  }
  if (const auto date = velmora::photos::containerDateTime(text)) {
    if (!std::isfinite(*date)) std::abort();
  }
  if (const auto date = velmora::photos::xmpDateTime(text)) {
    if (!std::isfinite(*date)) std::abort();
  }
  velmora::photos::screenshotByPath(text);
  velmora::photos::isScreenshotComment(text);
  return 0;
}
