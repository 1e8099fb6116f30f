#include "bridge/photos/identifier.h"

#include <climits>
#include <cstdint>

namespace velmora::photos {

namespace {

// Length of the valid UTF-8 sequence at the start of `text` (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

}  // namespace

std::string identifierForPath(std::string_view relativePath) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string identifier;
  identifier.reserve(relativePath.size());
  while (!relativePath.empty()) {
    const std::size_t length = relativePath.front() == '%' ? 0 : utf8SequenceLength(relativePath);
    if (length == 0) {
      const auto byte = static_cast<std::uint8_t>(relativePath.front());
      identifier.push_back('%');
      identifier.push_back(digits[byte >> 4]);
      identifier.push_back(digits[byte & 0x0f]);
      relativePath.remove_prefix(1);
    } else {
      identifier.append(relativePath.substr(0, length));
      relativePath.remove_prefix(length);
    }
  }
  return identifier;
}

std::optional<std::string> pathForIdentifier(std::string_view identifier) {
  // Every byte of a path takes at most three characters: anything longer
  // than the longest path names nothing, and is not worth decoding.
  if (identifier.size() > 3 * std::size_t{PATH_MAX}) return std::nullopt;
  std::string path;
  path.reserve(identifier.size());
  for (std::size_t i = 0; i < identifier.size(); ++i) {
    if (identifier[i] != '%') {
      path.push_back(identifier[i]);
      continue;
    }
    if (i + 2 >= identifier.size()) return std::nullopt;
    const int high = hexValue(identifier[i + 1]);
    const int low = hexValue(identifier[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    path.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  // One spelling per path: "%61" for "a", lower-case digits and escapes of
  // valid UTF-8 name nothing.
  if (path.empty() || identifierForPath(path) != identifier) return std::nullopt;
  if (path.find('\0') != std::string::npos) return std::nullopt;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('/', start);
    const std::string_view segment =
        std::string_view(path).substr(start, end == std::string::npos ? end : end - start);
    if (segment.empty() || segment.front() == '.') return std::nullopt;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return path;
}

}  // namespace velmora::photos
