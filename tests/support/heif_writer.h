#pragma once
// HEIF files put together box by box, for tests that need what no encoder
// at hand writes: grids, rotations, mirrors, crops, missing tiles, unknown
// properties. The coded pictures come from files that libvips wrote.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

// One HEVC-coded picture: its decoder configuration (hvcC body) and data.
struct CodedPicture {
  std::string decoderConfig;
  std::string data;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The coded picture of a single-picture HEIC file (as libvips writes them).
CodedPicture codedPictureOf(const std::filesystem::path& heic);

// Encodes rows x columns tiles of `tileSide` pixels cut from one picture
// (colour ramps across and down, a checkerboard, diagonal stripes, edges
// softened as a lens softens them), as a phone cuts its photo into the
// tiles of a grid.
std::vector<CodedPicture> encodeTiles(std::uint32_t tileSide, std::uint32_t columns,
                                      std::uint32_t rows);

// A property box with its essential flag, in the order it is associated.
struct HeifProperty {
  std::string box;
  bool essential = false;
};

std::string heifBox(const char* type, const std::string& body);
std::string heifFullBox(const char* type, int version, std::uint32_t flags,
                        const std::string& body);
HeifProperty rotation(int quarterTurnsAnticlockwise);
HeifProperty mirror(int axis);
// A centred crop to width x height; offsets (in halves of a pixel) move it.
HeifProperty cleanAperture(std::uint32_t width, std::uint32_t height, std::int32_t halfLeft = 0,
                           std::int32_t halfTop = 0);
HeifProperty colourNclx(int matrix, bool fullRange);

struct HeifStill {
  // One tile: a single picture; more: a grid of columns x rows.
  std::vector<CodedPicture> tiles;
  std::uint32_t columns = 1;
  std::uint32_t rows = 1;
  // The grid's output size (0: all of its tiles).
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Properties of the primary picture after its size (and, for a single
  // picture, its decoder configuration).
  std::vector<HeifProperty> properties;
  // How many tiles the grid names (fewer: tiles missing).
  std::optional<std::size_t> namedTiles;
  // An auxiliary picture of the primary of this type (e.g. alpha).
  std::optional<std::string> auxiliaryType;
  // A thumbnail picture of this size (its data: the first tile's).
  std::optional<std::pair<std::uint32_t, std::uint32_t>> thumbnail;
  // The grid's description in the idat box (else in mdat).
  bool gridInIdat = true;
  // Every tile names the first tile's bytes.
  bool tilesShareData = false;
};

// The whole file.
std::string heifFile(const HeifStill& still);

}  // namespace velmora::testing
