#pragma once
// XMP packets and sidecar files as tolerant readers take them. Exiv2 only
// recognises a sidecar that starts with "<?xml", "<?xpacket" or
// "<x:xmpmeta" in UTF-8, and its XMP toolkit gives up on a DOCTYPE or on an
// encoding declaration that no longer fits the bytes. Other programs read
// such files and show their ratings; so does this one.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::photos {

// The most an XMP sidecar or an embedded packet may hold to be read. The
// XMP toolkit holds about eight times a packet's size while it parses it;
// a real sidecar, even with a long edit history, is a few hundred KiB.
inline constexpr std::size_t maximumXmpBytes = std::size_t{8} << 20;

// The most markup ("<") a packet may hold to be parsed. The toolkit looks
// for an earlier sibling of each property one by one: 90,000 properties in
// one description (6 MB) took 143 s, 10,000 (20,000 "<") 1.6 s. A long
// darktable or Lightroom history holds a few thousand.
inline constexpr std::size_t maximumXmpMarkup = 20'000;

// The packet as UTF-8 text the XMP toolkit parses: a byte-order mark
// (UTF-8, UTF-16 or UTF-32, either byte order) or UTF-16/32 recognised by
// the leading "<" decoded to UTF-8, the XML declaration (whose encoding
// would no longer be true) and a DOCTYPE (and with it any entities it
// declares) taken out, blank space before the first markup dropped. No
// value when the bytes are not valid text in their encoding or the
// DOCTYPE does not end.
std::optional<std::string> normalisedXmp(std::string_view bytes);

// Whether the text holds nothing but blank space (an empty sidecar).
bool isBlankXmp(std::string_view text);

}  // namespace velmora::photos
