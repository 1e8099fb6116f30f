#include "qr/image_file.h"

#include <sys/stat.h>

#include <vips/vips.h>

#include "bridge/vips.h"

namespace velmora::qr {

namespace {

// Owns one reference to a libvips object.
template <typename T>
class Ref {
 public:
  explicit Ref(T* object = nullptr) : object_(object) {}
  ~Ref() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* get() const { return object_; }
  T** out() { return &object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_;
};

using Image = Ref<VipsImage>;

// Colour, grey, CMYK, 16-bit and transparent images all end as one band of
// 8-bit luminance; transparency is laid over white, as a viewer shows it.
bool toLuma(VipsImage* decoded, Image& luma) {
  Image srgb;
  if (vips_colourspace(decoded, srgb.out(), VIPS_INTERPRETATION_sRGB, nullptr) != 0) return false;
  VipsImage* opaque = srgb.get();
  Image flattened;
  if (vips_image_hasalpha(opaque)) {
    VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
    const int failed = vips_flatten(opaque, flattened.out(), "background", white, nullptr);
    vips_area_unref(reinterpret_cast<VipsArea*>(white));
    if (failed != 0) return false;
    opaque = flattened.get();
  }
  Image grey;
  if (vips_colourspace(opaque, grey.out(), VIPS_INTERPRETATION_B_W, nullptr) != 0) return false;
  Image band;
  if (vips_extract_band(grey.get(), band.out(), 0, nullptr) != 0) return false;
  return vips_cast_uchar(band.get(), luma.out(), nullptr) == 0;
}

// Pulls the pixels through the pipeline strip by strip, top to bottom, so
// that only the luminance buffer is ever held whole. A decoder error on the
// way (truncated or corrupt data) fails the whole image.
bool readPixels(VipsImage* luma, LumaImage& image) {
  image.width = static_cast<std::uint32_t>(vips_image_get_width(luma));
  image.height = static_cast<std::uint32_t>(vips_image_get_height(luma));
  image.pixels.resize(std::size_t{image.width} * image.height);
  Ref<VipsRegion> region(vips_region_new(luma));
  if (!region) return false;
  constexpr int stripHeight = 64;
  const int width = static_cast<int>(image.width);
  const int height = static_cast<int>(image.height);
  for (int top = 0; top < height; top += stripHeight) {
    VipsRect strip{0, top, width, std::min(stripHeight, height - top)};
    if (vips_region_prepare(region.get(), &strip) != 0) return false;
    for (int row = 0; row < strip.height; ++row) {
      const auto* source = reinterpret_cast<const std::uint8_t*>(
          VIPS_REGION_ADDR(region.get(), 0, top + row));
      std::copy(source, source + width,
                image.pixels.begin() + static_cast<std::ptrdiff_t>(top + row) * width);
    }
  }
  return true;
}

std::optional<LumaImage> decode(const std::string& path) {
  // Only regular files (a link to one is fine): a folder is no image, and a
  // pipe or device could block the run forever.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (!bridge::ensureVips()) return std::nullopt;

  // From a source rather than a file name: libvips would read options out
  // of a name that holds square brackets.
  Ref<VipsSource> source(vips_source_new_from_file(path.c_str()));
  if (!source) return std::nullopt;
  // The header only; pixels are decoded when they are pulled.
  Image decoded(vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL,
                                           "fail_on", VIPS_FAIL_ON_ERROR, nullptr));
  if (!decoded) return std::nullopt;
  if (!bridge::withinPixelLimit(static_cast<std::uint64_t>(vips_image_get_width(decoded.get())),
                                static_cast<std::uint64_t>(vips_image_get_height(decoded.get())))) {
    return std::nullopt;
  }
  Image luma;
  if (!toLuma(decoded.get(), luma)) return std::nullopt;
  LumaImage image;
  if (!readPixels(luma.get(), image)) return std::nullopt;
  return image;
}

}  // namespace

std::optional<LumaImage> loadLuma(const std::string& path) {
  std::optional<LumaImage> image = decode(path);
  // Messages of a failed decode would pile up in libvips' error buffer.
  if (!image && bridge::ensureVips()) vips_error_clear();
  return image;
}

}  // namespace velmora::qr
