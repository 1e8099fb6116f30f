#pragma once
// What a Google Takeout JSON sidecar says about its photo.
#include <optional>
#include <string>
#include <string_view>

namespace velmora::photos {

// Far beyond any real sidecar (a few kilobytes); a larger file is not read.
inline constexpr std::size_t maxTakeoutJsonBytes = std::size_t{1} << 20;

struct TakeoutFacts {
  bool favorited = false;           // "favorited": true
  std::optional<double> takenTime;  // "photoTakenTime.timestamp", UTC seconds
};

// The facts of the JSON file at `path`; no value when it cannot be read:
// missing, no regular file, larger than maxTakeoutJsonBytes, not one JSON
// object (or one repeating a key), or unreadable.
std::optional<TakeoutFacts> readTakeoutJson(const std::string& path);

// The same for text in memory.
std::optional<TakeoutFacts> parseTakeoutJson(const std::string& text);

}  // namespace velmora::photos
