#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/photos/library.h"

namespace velmora::inventory {

using Sha256Digest = std::array<std::uint8_t, 32>;

// 64 lower-case hexadecimal characters, two per byte, in digest order.
std::string hex(const Sha256Digest& digest);

// "<type>:<uniform type identifier>:<hex of the bytes' SHA-256>"
std::string resourceLine(const photos::Resource& resource, const Sha256Digest& digest);

// The asset's Fingerprint: SHA-256 over the resource lines, sorted by type
// (stable for equal types) and joined by single line feeds. No value when the
// asset has no resources or one of them cannot be read completely; `size`
// then holds the bytes of the resources completed before the failing one,
// otherwise the total. Reads one resource at a time, in bounded chunks.
std::optional<std::string> resourceHash(photos::PhotoLibrary& library, const photos::Asset& asset,
                                        std::uint64_t& size);

}  // namespace velmora::inventory
