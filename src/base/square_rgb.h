#pragma once
// An image file fitted into a square of 8-bit RGB (orientation applied,
// aspect kept, centred on black), as an object detector looks at it.
#include <cstdint>
#include <vector>

#include "base/deadline.h"

namespace velmora::base {

enum class SquareFailure : std::uint8_t {
  none,
  noLibrary,    // libvips did not start
  unreadable,   // the file could not be read, is empty or beyond `maxBytes`
  tooLarge,     // its header declares a size beyond the pixel limit
  undecodable,  // broken, of no known format, or past the deadline
};

// The `side` x `side` RGB pixels of the image in the regular file open on
// `fd` (which stays the caller's; it is read whole, up to `maxBytes`), or
// empty with `failure` set.
std::vector<std::uint8_t> squareRgb(int fd, int side, std::uintmax_t maxBytes,
                                    const Deadline& deadline, SquareFailure& failure);

}  // namespace velmora::base
