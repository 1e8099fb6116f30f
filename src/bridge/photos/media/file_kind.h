#pragma once
// What a file is by its name: its extension, compared case-insensitively.
#include <string>
#include <string_view>

namespace velmora::photos {

enum class FileKind { other, still, raw, video, sidecar };

// By the extension (compared case-insensitively); `other` for names that
// are none of the library's formats.
FileKind fileKind(std::string_view name);

// The uniform type identifier for the file's extension; empty for `other`.
std::string uniformTypeIdentifier(std::string_view name);

}  // namespace velmora::photos
