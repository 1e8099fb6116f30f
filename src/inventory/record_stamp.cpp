#include "inventory/record_stamp.h"

#include <ZXing/ZXVersion.h>
#include <vips/vips.h>
#include <zbar.h>

#include <exiv2/version.hpp>
#include <libraw/libraw.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

#include "base/build_stamp.h"
#include "base/loaded_library.h"
#include "base/vips.h"

namespace velmora::inventory {

namespace {

std::string versionText(unsigned major, unsigned minor, unsigned micro) {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
}

std::string ffmpegVersion(unsigned version) {
  return versionText(AV_VERSION_MAJOR(version), AV_VERSION_MINOR(version),
                     AV_VERSION_MICRO(version));
}

struct ShapingLibrary {
  const char* name;
  const char* soname;        // how its shared object's file name starts
  std::string (*version)();  // what it says of itself, where it can
};

// The libraries whose answers end up in a record. A decoder or detector
// that the bridge starts to use belongs here too.
const ShapingLibrary shapingLibraries[] = {
    {"libvips", "libvips.so.", [] { return std::string(vips_version_string()); }},
    {"libheif", "libheif.so.", nullptr},
    {"libde265", "libde265.so.", nullptr},  // the HEVC decoder behind libheif
    {"libjpeg", "libjpeg.so.", nullptr},
    {"libpng", "libpng16.so.", nullptr},
    {"libwebp", "libwebp.so.", nullptr},
    {"libtiff", "libtiff.so.", nullptr},
    {"libexif", "libexif.so.", nullptr},  // libvips' orientation
    {"lcms2", "liblcms2.so.", nullptr},   // colour profiles to sRGB
    {"Exiv2", "libexiv2.so.", [] { return Exiv2::versionString(); }},
    {"LibRaw", "libraw_r.so.", [] { return std::string(libraw_version()); }},  // RAW previews and dates
    {"FFmpeg libavformat", "libavformat.so.", [] { return ffmpegVersion(avformat_version()); }},
    {"FFmpeg libavcodec", "libavcodec.so.", [] { return ffmpegVersion(avcodec_version()); }},
    {"FFmpeg libswscale", "libswscale.so.", [] { return ffmpegVersion(swscale_version()); }},
    {"FFmpeg libavutil", "libavutil.so.", [] { return ffmpegVersion(avutil_version()); }},
    {"ZXing-cpp", "libZXing.so.",
     [] { return versionText(ZXING_VERSION_MAJOR, ZXING_VERSION_MINOR, ZXING_VERSION_PATCH); }},
    {"ZBar", "libzbar.so.",
     [] {
       unsigned major = 0, minor = 0, patch = 0;
       zbar::zbar_version(&major, &minor, &patch);
       return versionText(major, minor, patch);
     }},
};

}  // namespace

std::string recordStamp() {
  base::ensureVips();
  std::string stamp = std::string("velmora-bridge ") + base::bridgeVersion + "\nsources " +
                      base::sourceStamp + "\ncompiler " + __VERSION__ + "\n";
  for (const ShapingLibrary& library : shapingLibraries) {
    // The version alone misses a rebuilt package; the file's time does not.
    const std::string file = base::loadedLibraryFile(library.soname);
    stamp += std::string(library.name) + " " + (library.version ? library.version() : "") + ": " +
             (file.empty() ? "not loaded" : file) + "\n";
  }
  return stamp;
}

}  // namespace velmora::inventory
