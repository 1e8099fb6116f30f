#include "bridge/photos/media/xmp_text.h"

#include <cstdint>

namespace velmora::photos {

namespace {

enum class Encoding { utf8, utf16le, utf16be, utf32le, utf32be };

struct Detected {
  Encoding encoding = Encoding::utf8;
  std::size_t markLength = 0;
};

unsigned char at(std::string_view bytes, std::size_t index) {
  return static_cast<unsigned char>(bytes[index]);
}

// By the byte-order mark, else by the zero bytes around the first
// character, as XML's own detection does ("<" or blank space is ASCII).
Detected detect(std::string_view bytes) {
  const auto starts = [&](std::string_view mark) { return bytes.starts_with(mark); };
  using namespace std::string_view_literals;
  if (starts("\xEF\xBB\xBF"sv)) return {Encoding::utf8, 3};
  if (starts("\x00\x00\xFE\xFF"sv)) return {Encoding::utf32be, 4};
  if (starts("\xFF\xFE\x00\x00"sv)) return {Encoding::utf32le, 4};
  if (starts("\xFE\xFF"sv)) return {Encoding::utf16be, 2};
  if (starts("\xFF\xFE"sv)) return {Encoding::utf16le, 2};
  if (bytes.size() < 4) return {};
  const bool z0 = at(bytes, 0) == 0, z1 = at(bytes, 1) == 0, z2 = at(bytes, 2) == 0,
             z3 = at(bytes, 3) == 0;
  if (z0 && z1 && z2 && !z3) return {Encoding::utf32be, 0};
  if (!z0 && z1 && z2 && z3) return {Encoding::utf32le, 0};
  if (z0 && !z1 && z2 && !z3) return {Encoding::utf16be, 0};
  if (!z0 && z1 && !z2 && z3) return {Encoding::utf16le, 0};
  return {};
}

void appendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::optional<std::string> fromUtf16(std::string_view bytes, bool big) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  const auto unit = [&](std::size_t i) -> char32_t {
    return big ? (at(bytes, i) << 8) | at(bytes, i + 1) : (at(bytes, i + 1) << 8) | at(bytes, i);
  };
  std::string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    char32_t code = unit(i);
    if (code >= 0xDC00 && code <= 0xDFFF) return std::nullopt;  // a low half alone
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 4 > bytes.size()) return std::nullopt;
      const char32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    appendUtf8(out, code);
  }
  return out;
}

std::optional<std::string> fromUtf32(std::string_view bytes, bool big) {
  if (bytes.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() / 4);
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    std::uint32_t code = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      code = (code << 8) | at(bytes, big ? i + k : i + 3 - k);
    }
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    appendUtf8(out, code);
  }
  return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::size_t skipBlank(std::string_view text, std::size_t from) {
  while (from < text.size() && isBlank(text[from])) ++from;
  return from;
}

// The end (one past its ">") of the DOCTYPE starting at `from`, brackets of
// an internal subset and quoted literals skipped; npos when it never ends.
std::size_t doctypeEnd(std::string_view text, std::size_t from) {
  char quote = 0;
  int brackets = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      ++brackets;
    } else if (c == ']') {
      --brackets;
    } else if (c == '>' && brackets <= 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

bool isBlankXmp(std::string_view text) { return skipBlank(text, 0) == text.size(); }

std::optional<std::string> normalisedXmp(std::string_view bytes) {
  const Detected detected = detect(bytes);
  bytes.remove_prefix(detected.markLength);
  std::optional<std::string> decoded;
  switch (detected.encoding) {
    case Encoding::utf8:
      decoded = std::string(bytes);
      break;
    case Encoding::utf16le:
      decoded = fromUtf16(bytes, false);
      break;
    case Encoding::utf16be:
      decoded = fromUtf16(bytes, true);
      break;
    case Encoding::utf32le:
      decoded = fromUtf32(bytes, false);
      break;
    case Encoding::utf32be:
      decoded = fromUtf32(bytes, true);
      break;
  }
  if (!decoded) return std::nullopt;
  std::string& text = *decoded;
  text.erase(0, skipBlank(text, 0));

  // The declaration must come first. It stays where the bytes were UTF-8
  // already (it may name another 8-bit encoding the parser knows) and goes
  // where they were decoded here: it would name the encoding they left.
  std::size_t position = 0;
  if (text.starts_with("<?xml") && text.size() > 5 && (isBlank(text[5]) || text[5] == '?')) {
    const std::size_t end = text.find("?>");
    if (end == std::string::npos) return std::nullopt;
    if (detected.encoding == Encoding::utf8) {
      position = end + 2;
    } else {
      text.erase(0, skipBlank(text, end + 2));
    }
  }
  // The prolog: comments and processing instructions stay, a DOCTYPE goes.
  for (;;) {
    position = skipBlank(text, position);
    const std::string_view rest = std::string_view(text).substr(position);
    if (rest.starts_with("<!--")) {
      const std::size_t end = text.find("-->", position + 4);
      if (end == std::string::npos) break;
      position = end + 3;
    } else if (rest.starts_with("<?")) {
      const std::size_t end = text.find("?>", position + 2);
      if (end == std::string::npos) break;
      position = end + 2;
    } else if (rest.starts_with("<!DOCTYPE")) {
      const std::size_t end = doctypeEnd(text, position + 9);
      if (end == std::string_view::npos) return std::nullopt;
      text.erase(position, end - position);
    } else {
      break;
    }
  }
  return decoded;
}

}  // namespace velmora::photos
