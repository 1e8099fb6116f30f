#include "qr/image_file.h"

#include <vips/vips.h>

#include "base/deadline.h"
#include "base/png_chunks.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "base/vips_ref.h"

namespace velmora::qr {

namespace {

template <typename T>
using Ref = base::VipsRef<T>;
using Image = Ref<VipsImage>;

// Colour, CMYK, 16-bit and transparent images all end as 8-bit grey or
// 8-bit sRGB, one or three bands; transparency is laid over white, as a
// viewer shows it. What is already 8-bit grey or sRGB passes unconverted.
bool toEightBit(VipsImage* decoded, Image& result) {
  const VipsInterpretation interpretation = vips_image_guess_interpretation(decoded);
  const bool grey =
      interpretation == VIPS_INTERPRETATION_B_W || interpretation == VIPS_INTERPRETATION_GREY16;
  Image converted;
  if (vips_colourspace(decoded, converted.out(),
                       grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB, nullptr) != 0) {
    return false;
  }
  VipsImage* current = converted.get();
  Image flattened;
  if (vips_image_hasalpha(current)) {
    VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
    const int failed = vips_flatten(current, flattened.out(), "background", white, nullptr);
    vips_area_unref(reinterpret_cast<VipsArea*>(white));
    if (failed != 0) return false;
    current = flattened.get();
  }
  const int bands = vips_image_get_bands(current);
  if (bands != 1 && bands != 3) return false;
  return vips_cast_uchar(current, result.out(), nullptr) == 0;
}

// Pulls the pixels through the pipeline strip by strip, top to bottom, so
// that only the luminance buffer is ever held whole. A decoder error on the
// way (truncated or corrupt data) fails the whole image, and so does the
// deadline passing between two strips.
bool readLuma(VipsImage* eightBit, const base::Deadline& deadline, LumaImage& image) {
  image.width = static_cast<std::uint32_t>(vips_image_get_width(eightBit));
  image.height = static_cast<std::uint32_t>(vips_image_get_height(eightBit));
  image.pixels.resize(std::size_t{image.width} * image.height);
  const int bands = vips_image_get_bands(eightBit);
  Ref<VipsRegion> region(vips_region_new(eightBit));
  if (!region) return false;
  constexpr int stripHeight = 128;
  const int width = static_cast<int>(image.width);
  const int height = static_cast<int>(image.height);
  for (int top = 0; top < height; top += stripHeight) {
    if (deadline.passed()) return false;
    VipsRect strip{0, top, width, std::min(stripHeight, height - top)};
    if (vips_region_prepare(region.get(), &strip) != 0) return false;
    for (int row = 0; row < strip.height; ++row) {
      const auto* source =
          reinterpret_cast<const std::uint8_t*>(VIPS_REGION_ADDR(region.get(), 0, top + row));
      std::uint8_t* target = image.pixels.data() + static_cast<std::ptrdiff_t>(top + row) * width;
      if (bands == 1) {
        std::copy(source, source + width, target);
        continue;
      }
      for (int x = 0; x < width; ++x, source += 3) {
        target[x] = lumaOf(source[0], source[1], source[2]);
      }
    }
  }
  return true;
}

std::optional<LumaImage> decode(const std::string& path) {
  const base::Deadline deadline;
  // Only regular files (a link to one is fine): a folder is no image, and a
  // pipe or device could block the run forever.
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  if (!base::pngChunksFitDescriptor(file.get())) return std::nullopt;
  if (!base::ensureVips()) return std::nullopt;

  // From the descriptor that was checked, never from the name: the name may
  // be something else by now, and libvips would read options out of a name
  // that holds square brackets.
  Ref<VipsSource> source(base::sourceFromDescriptor(file.get()));
  if (!source) return std::nullopt;
  // The header only; pixels are decoded when they are pulled.
  Image decoded(vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL,
                                           "fail_on", VIPS_FAIL_ON_ERROR, nullptr));
  if (!decoded) return std::nullopt;
  if (!base::withinPixelLimit(static_cast<std::uint64_t>(vips_image_get_width(decoded.get())),
                                static_cast<std::uint64_t>(vips_image_get_height(decoded.get())))) {
    return std::nullopt;
  }
  // A format that cannot be read strip by strip (WebP) is decoded whole when
  // the first strip is asked for, and reports its progress on this image.
  const base::DeadlineWatch watch(decoded.get(), deadline);
  Image eightBit;
  if (!toEightBit(decoded.get(), eightBit)) return std::nullopt;
  LumaImage image;
  if (!readLuma(eightBit.get(), deadline, image)) return std::nullopt;
  return image;
}

}  // namespace

std::optional<LumaImage> loadLuma(const std::string& path) {
  std::optional<LumaImage> image = decode(path);
  // Messages of a failed decode would pile up in libvips' error buffer.
  if (!image && base::ensureVips()) vips_error_clear();
  return image;
}

}  // namespace velmora::qr
