#include "base/luma_file.h"

#include <vips/vips.h>

#include <algorithm>

#include "base/png_chunks.h"
#include "base/vips.h"
#include "base/vips_ref.h"

namespace velmora::base {

namespace {

template <typename T>
using Ref = VipsRef<T>;
using Image = Ref<VipsImage>;

// Messages of a failed decode would pile up in libvips' error buffer.
std::optional<LumaPixels> failed() {
  vips_error_clear();
  return std::nullopt;
}

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
bool readLuma(VipsImage* eightBit, const Deadline& deadline, LumaPixels& image) {
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

}  // namespace

std::optional<LumaPixels> decodeLumaFile(int fd, const Deadline& deadline) {
  if (!pngChunksFitDescriptor(fd)) return std::nullopt;
  if (!ensureVips()) return std::nullopt;

  // From the descriptor that was checked, never from the name: the name may
  // be something else by now, and libvips would read options out of a name
  // that holds square brackets.
  Ref<VipsSource> source(sourceFromDescriptor(fd));
  if (!source) return failed();
  // The header only; pixels are decoded when they are pulled.
  Image decoded(vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL,
                                           "fail_on", VIPS_FAIL_ON_ERROR, nullptr));
  if (!decoded) return failed();
  if (!withinPixelLimit(static_cast<std::uint64_t>(vips_image_get_width(decoded.get())),
                        static_cast<std::uint64_t>(vips_image_get_height(decoded.get())))) {
    return failed();
  }
  // A format that cannot be read strip by strip (WebP) is decoded whole when
  // the first strip is asked for, and reports its progress on this image.
  const DeadlineWatch watch(decoded.get(), deadline);
  Image eightBit;
  if (!toEightBit(decoded.get(), eightBit)) return failed();
  LumaPixels image;
  if (!readLuma(eightBit.get(), deadline, image)) return failed();
  return image;
}

}  // namespace velmora::base
