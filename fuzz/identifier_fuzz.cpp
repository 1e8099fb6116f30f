// Identifier resolution: any text a request may carry either names nothing
// or a relative path inside the library that escapes back to the very same
// identifier; every path escapes to an identifier that resolves to it.
#include <cstdlib>
#include <string_view>

#include "bridge/photos/identifier.h"

using velmora::photos::identifierForPath;
using velmora::photos::pathForIdentifier;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto path = pathForIdentifier(text)) {
    if (identifierForPath(*path) != text) std::abort();
    if (path->empty() || path->front() == '/' || path->find('\0') != std::string::npos) std::abort();
    std::size_t start = 0;
    while (true) {
      const std::size_t end = path->find('/', start);
      const std::string_view segment =
          std::string_view(*path).substr(start, end == std::string::npos ? end : end - start);
      // Never empty, ".", ".." or hidden: nothing leads out of the folder.
      if (segment.empty() || segment.front() == '.') std::abort();
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }

  // The other way round: escaping is lossless for any bytes.
  const std::string identifier = identifierForPath(text);
  if (const auto back = pathForIdentifier(identifier)) {
    if (*back != text) std::abort();
  }
  return 0;
}
