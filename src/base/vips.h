#pragma once
#include <cstdint>

#include "base/deadline.h"

typedef struct _VipsImage VipsImage;  // NOLINT: libvips' own spelling

namespace velmora::base {

// Starts libvips once per process: untrusted loaders blocked, operation
// cache off (memory stays bounded by the image in hand). Safe to call from
// any thread, any number of times. False when libvips could not start.
bool ensureVips();

// Images beyond this are refused as unreadable instead of decoded: far
// larger than any camera's, and a sign of a crafted or broken header.
inline constexpr std::uint64_t maxDecodePixels = 200'000'000;

inline bool withinPixelLimit(std::uint64_t width, std::uint64_t height) {
  return width > 0 && height > 0 && width <= maxDecodePixels && height <= maxDecodePixels &&
         width * height <= maxDecodePixels;
}

// Stops the evaluation of `image` once `deadline` has passed. libvips
// reports the progress of an evaluation through the image's eval signal (a
// loader decoding the whole file into a temporary image reports there too);
// the handler kills the evaluation at the first report past the deadline,
// and it then fails like one of broken data. Keep the watch alive until the
// pixels are in hand; the deadline must outlive it.
class DeadlineWatch {
 public:
  DeadlineWatch(VipsImage* image, const Deadline& deadline);
  ~DeadlineWatch();
  DeadlineWatch(const DeadlineWatch&) = delete;
  DeadlineWatch& operator=(const DeadlineWatch&) = delete;

 private:
  VipsImage* image_;
  unsigned long handler_ = 0;
};

}  // namespace velmora::base
