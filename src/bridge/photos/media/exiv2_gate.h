#pragma once
// Exiv2 chooses its reader from a file's contents, and Debian builds it with
// readers for video containers (RIFF, Matroska, QuickTime, ASF) and for PGF
// that no photo needs and that hostile files crash or hang. Here Exiv2 is
// opened only with the reader of the format that the file's name and its
// first bytes agree on; a file on which they disagree is not read at all.

// Exiv2 0.27 still hands out std::auto_ptr; its warnings are not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>  // not among exiv2.hpp's
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/mapped_file.h"

namespace velmora::photos {

// The formats a name lets Exiv2 read, in the order Exiv2 itself tries them.
enum class Exiv2Format { jpeg, cr2, tiff, webp, rw2, orf, png, raf, xmp, gif, bmp, bmff };

// An Exiv2 image over `bytes` (which must outlive it), its metadata not yet
// read, when the extension of `name` names a format Exiv2 may read and the
// bytes start as that format does; else a null pointer. Call startExiv2
// first. Throws what Exiv2 throws.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
Exiv2::Image::AutoPtr openAgreedImage(const base::MappedFile& bytes, std::string_view name);
#pragma GCC diagnostic pop

// The format the name and the first bytes agree on, if any.
std::optional<Exiv2Format> agreedFormat(const std::uint8_t* data, std::size_t size,
                                        std::string_view name);

}  // namespace velmora::photos
