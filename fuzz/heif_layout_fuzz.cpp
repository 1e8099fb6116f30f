// The HEIF box reader behind the fast HEIC preview, and that preview: any
// bytes give a layout whose every range lies inside them and whose shown
// area lies inside its picture, or none; rendered, they give a bitmap
// inside the box, or nothing. The first byte chooses: even, the reader
// alone; odd, the preview into a box small enough for small pictures to
// take the fast road. Seeds: HEICs libvips wrote (one picture) and ones
// put together by tests/support/heif_writer (grids, turned and cropped).
#include <cstdlib>
#include <cstring>

#include "bridge/photos/media/heif_layout.h"
#include "bridge/photos/preview/preview_formats.h"
#include "fuzz_file.h"

using namespace velmora;

namespace {

void checkLayout(const photos::HevcStillLayout& layout, std::size_t size) {
  if (layout.tiles.size() != std::size_t{layout.columns} * layout.rows || layout.width == 0 ||
      layout.height == 0 || std::uint64_t{layout.tileWidth} * layout.columns < layout.width ||
      std::uint64_t{layout.tileHeight} * layout.rows < layout.height) {
    std::abort();
  }
  for (const auto& tile : layout.tiles) {
    if (tile.empty()) std::abort();
    for (const photos::ByteRange& range : tile) {
      if (range.offset > size || range.length > size - range.offset) std::abort();
    }
  }
  const photos::ShownArea area = photos::shownArea(layout);
  if (area.width == 0 || area.height == 0 ||
      std::uint64_t{area.left} + area.width > layout.width ||
      std::uint64_t{area.top} + area.height > layout.height) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::prepareProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool render = data[0] % 2 == 1;
  ++data;
  --size;
  if (!render) {
    const photos::FileBytes file{size, [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
                                   if (offset > size || n > size - offset) return false;
                                   std::memcpy(out, data + offset, n);
                                   return true;
                                 }};
    if (const auto layout = photos::readHevcStillLayout(file)) checkLayout(*layout, size);
    return 0;
  }
  constexpr std::uint32_t box = 24;
  const auto preview = photos::renderHeic(fuzz::asFile(data, size), box, box);
  if (preview && (preview->width == 0 || preview->height == 0 || preview->width > box ||
                  preview->height > box ||
                  preview->pixels.size() != std::size_t{preview->width} * preview->height * 3)) {
    std::abort();
  }
  return 0;
}
