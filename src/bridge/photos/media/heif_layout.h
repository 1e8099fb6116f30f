#pragma once
// Where the coded pictures of an HEVC still in a HEIF file (a HEIC) lie and
// how they make up the picture a viewer shows, read from the file's boxes.
// Only what the fast HEIC preview shows exactly as libheif would is
// described; anything else (alpha, more than 8 bits, another codec, a
// property it does not know that the file marks essential, a box that does
// not parse) gives no layout, and the file takes the ordinary road.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace velmora::photos {

// The bytes of one file: its size and a reader that fills `out` with `n`
// bytes from `offset` on, or fails.
struct FileBytes {
  std::uint64_t size = 0;
  std::function<bool(std::uint64_t offset, std::uint8_t* out, std::size_t n)> read;
};

// A run of bytes of the file.
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// One step from the decoded picture to the shown one.
struct HeifTransform {
  enum class Kind { crop, rotate, mirror };
  Kind kind = Kind::crop;
  // crop: the rectangle kept, in pixels of the picture as it is at this step.
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // rotate: quarter turns anticlockwise, 1 to 3.
  int quarterTurns = 0;
  // mirror: true when left and right swap, false when top and bottom do.
  bool leftRight = false;
};

struct HevcStillLayout {
  // The HEVC decoder configuration record (hvcC) every tile decodes with.
  std::vector<std::uint8_t> decoderConfig;
  // Every coded picture has this size; a single picture is a grid of 1 x 1.
  std::uint32_t tileWidth = 0;
  std::uint32_t tileHeight = 0;
  std::uint32_t columns = 1;
  std::uint32_t rows = 1;
  // The picture the tiles make before any transform: the grid's output
  // size (what lies beyond it on the right and bottom is cut off).
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Each tile's coded data, row by row; each range lies inside the file.
  std::vector<std::vector<ByteRange>> tiles;
  // Crop, rotation and mirror, in the order they apply.
  std::vector<HeifTransform> transforms;
  // The largest thumbnail stored for the picture (0 x 0 when there is none).
  std::uint32_t thumbnailWidth = 0;
  std::uint32_t thumbnailHeight = 0;
};

// The part of the decoded picture that is shown, and how it lies: shown
// columns run along decoded rows unless `swapAxes` (then along decoded
// columns); `reverseX` and `reverseY` say that the shown picture meets the
// decoded x (y) axis from its far end. The shown picture is width x height
// when the axes are not swapped, height x width when they are.
struct ShownArea {
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool reverseX = false;
  bool reverseY = false;
  bool swapAxes = false;
};
ShownArea shownArea(const HevcStillLayout& layout);

// The primary picture of `file` when it is an 8-bit 4:2:0 HEVC still
// without alpha, a single picture or a complete grid of them, whose every
// essential property is understood. Colour boxes are left aside, as libheif
// leaves them: the coded pictures say how their colour is coded. Reads at most 16 MB of boxes; never
// reads coded data.
std::optional<HevcStillLayout> readHevcStillLayout(const FileBytes& file);

}  // namespace velmora::photos
