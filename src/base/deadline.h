#pragma once
// A decoder can run away without ever crossing the pixel limit: a PNG that
// inflates to 14,000 x 14,000 pixels, a video whose packets never give a
// frame. One file must not hold up a whole run, so each file's decoding
// gets a wall-clock deadline; the decoders look at it as they go, and a file
// past it counts as one that could not be decoded.
#include <chrono>

namespace velmora::base {

using Clock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds defaultFileTimeLimit{60'000};

// How long one file's decoding may take (defaultFileTimeLimit unless
// changed). The bridge never changes it; tests shorten it. Safe to call
// from any thread.
Clock::duration fileTimeLimit();
void setFileTimeLimit(Clock::duration limit);

// The moment one file's decoding must be done by.
class Deadline {
 public:
  // fileTimeLimit() from now.
  Deadline();
  explicit Deadline(Clock::duration limit);

  bool passed() const { return Clock::now() >= end_; }

 private:
  Clock::time_point end_;
};

}  // namespace velmora::base
