#pragma once
// Asset identifiers: the primary file's path relative to the library folder,
// as text that survives JSON exactly. File names on Linux are bytes, not
// necessarily UTF-8, so the path is escaped: every byte that is not part of
// a valid UTF-8 sequence, and '%' itself, becomes '%' and two upper-case
// hexadecimal digits ("Caf\xE9.jpg" -> "Caf%E9.jpg", "100%.jpg" ->
// "100%25.jpg"). Everything else is kept as it is.
#include <optional>
#include <string>
#include <string_view>

namespace velmora::photos {

std::string identifierForPath(std::string_view relativePath);

// The relative path an identifier names, when it is one this library could
// have handed out: the canonical escape of a path of non-empty segments
// separated by single '/', none of them "." or ".." or hidden (leading '.'),
// with no leading '/'. No value otherwise.
std::optional<std::string> pathForIdentifier(std::string_view identifier);

}  // namespace velmora::photos
