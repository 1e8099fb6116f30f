#include "support/heif_writer.h"

#include <vips/vips.h>

#include <cstring>
#include <stdexcept>

#include "base/vips.h"
#include "bridge/photos/media/heif_layout.h"
#include "support/temp_dir.h"

namespace velmora::testing {

namespace {

std::string be(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

CodedPicture codedPictureFrom(const std::string& bytes) {
  photos::FileBytes file{bytes.size(), [&bytes](std::uint64_t offset, std::uint8_t* out,
                                                std::size_t n) {
                           if (offset > bytes.size() || n > bytes.size() - offset) return false;
                           std::memcpy(out, bytes.data() + offset, n);
                           return true;
                         }};
  const auto layout = photos::readHevcStillLayout(file);
  if (!layout || layout->tiles.size() != 1) throw std::runtime_error("not a single HEVC picture");
  CodedPicture picture;
  picture.decoderConfig.assign(layout->decoderConfig.begin(), layout->decoderConfig.end());
  for (const photos::ByteRange& range : layout->tiles[0]) {
    picture.data += bytes.substr(range.offset, range.length);
  }
  picture.width = layout->tileWidth;
  picture.height = layout->tileHeight;
  return picture;
}

struct Item {
  std::uint32_t id;
  const char* type;
  std::vector<std::pair<int, bool>> properties;  // 1-based index, essential
  std::string data;
  bool inIdat = false;
  bool sharesFirstTile = false;  // names the first tile's bytes, has none
};

}  // namespace

CodedPicture codedPictureOf(const std::filesystem::path& heic) {
  return codedPictureFrom(readFile(heic));
}

std::vector<CodedPicture> encodeTiles(std::uint32_t tileSide, std::uint32_t columns,
                                      std::uint32_t rows) {
  if (!base::ensureVips()) throw std::runtime_error("no libvips");
  const std::uint32_t width = tileSide * columns;
  const std::uint32_t height = tileSide * rows;
  std::vector<std::uint8_t> pixels(std::size_t{width} * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = &pixels[(std::size_t{y} * width + x) * 3];
      const bool checker = ((x / 57) + (y / 37)) % 2 == 0;
      const bool stripe = (x + 2 * y) % 83 < 14;
      p[0] = static_cast<std::uint8_t>(x * 255 / width);
      p[1] = static_cast<std::uint8_t>(y * 255 / height);
      p[2] = static_cast<std::uint8_t>(stripe ? 250 : checker ? 170 : 40);
    }
  }
  VipsImage* sharp = vips_image_new_from_memory(pixels.data(), pixels.size(),
                                                static_cast<int>(width), static_cast<int>(height),
                                                3, VIPS_FORMAT_UCHAR);
  // Softened as a lens softens edges: a photo's detail, not a test chart's.
  VipsImage* image = nullptr;
  const bool softened = vips_gaussblur(sharp, &image, 1.5, nullptr) == 0;
  g_object_unref(sharp);
  if (!softened) throw std::runtime_error("gaussblur failed");
  std::vector<CodedPicture> tiles;
  for (std::uint32_t row = 0; row < rows; ++row) {
    for (std::uint32_t column = 0; column < columns; ++column) {
      VipsImage* tile = nullptr;
      void* buffer = nullptr;
      std::size_t length = 0;
      const bool ok =
          vips_extract_area(image, &tile, static_cast<int>(column * tileSide),
                            static_cast<int>(row * tileSide), static_cast<int>(tileSide),
                            static_cast<int>(tileSide), nullptr) == 0 &&
          vips_heifsave_buffer(tile, &buffer, &length, "Q", 85, "subsample_mode",
                                               VIPS_FOREIGN_SUBSAMPLE_ON, nullptr) == 0;
      if (tile) g_object_unref(tile);
      if (!ok) {
        g_object_unref(image);
        throw std::runtime_error("heifsave failed");
      }
      tiles.push_back(codedPictureFrom(std::string(static_cast<const char*>(buffer), length)));
      g_free(buffer);
    }
  }
  g_object_unref(image);
  return tiles;
}

std::string heifBox(const char* type, const std::string& body) {
  return be(8 + body.size(), 4) + std::string(type, 4) + body;
}

std::string heifFullBox(const char* type, int version, std::uint32_t flags,
                        const std::string& body) {
  return heifBox(type, be((std::uint32_t(version) << 24) | flags, 4) + body);
}

HeifProperty rotation(int quarterTurnsAnticlockwise) {
  return {heifBox("irot", be(quarterTurnsAnticlockwise & 3, 1)), true};
}

HeifProperty mirror(int axis) { return {heifBox("imir", be(axis & 1, 1)), true}; }

HeifProperty cleanAperture(std::uint32_t width, std::uint32_t height, std::int32_t halfLeft,
                           std::int32_t halfTop) {
  return {heifBox("clap", be(width, 4) + be(1, 4) + be(height, 4) + be(1, 4) +
                              be(static_cast<std::uint32_t>(halfLeft), 4) + be(2, 4) +
                              be(static_cast<std::uint32_t>(halfTop), 4) + be(2, 4)),
          true};
}

HeifProperty colourNclx(int matrix, bool fullRange) {
  return {heifBox("colr", "nclx" + be(1, 2) + be(13, 2) + be(matrix, 2) +
                              be(fullRange ? 0x80 : 0, 1)),
          false};
}

std::string heifFile(const HeifStill& still) {
  const bool grid = still.tiles.size() > 1 || still.columns * still.rows > 1;
  const CodedPicture& first = still.tiles.at(0);
  // Properties: 1 hvcC, 2 the tile's size, 3 the grid's size, then the
  // primary's own, then the auxiliary type.
  std::vector<std::string> boxes = {
      heifBox("hvcC", first.decoderConfig),
      heifFullBox("ispe", 0, 0, be(first.width, 4) + be(first.height, 4))};
  const std::uint32_t width = still.width ? still.width : first.width * still.columns;
  const std::uint32_t height = still.height ? still.height : first.height * still.rows;
  boxes.push_back(heifFullBox("ispe", 0, 0, be(width, 4) + be(height, 4)));
  std::vector<std::pair<int, bool>> own;
  for (const HeifProperty& property : still.properties) {
    boxes.push_back(property.box);
    own.emplace_back(static_cast<int>(boxes.size()), property.essential);
  }

  std::vector<Item> items;
  std::string references;
  std::uint32_t primary = 1;
  if (grid) {
    Item gridItem{1, "grid", {{3, false}}, {}, still.gridInIdat};
    gridItem.properties.insert(gridItem.properties.end(), own.begin(), own.end());
    gridItem.data = be(0, 1) + be(1, 1) + be(still.rows - 1, 1) + be(still.columns - 1, 1) +
                    be(width, 4) + be(height, 4);
    items.push_back(gridItem);
    std::string dimg = be(1, 2);
    const std::size_t named = still.namedTiles.value_or(still.tiles.size());
    dimg += be(named, 2);
    for (std::size_t i = 0; i < still.tiles.size(); ++i) {
      const auto id = static_cast<std::uint32_t>(10 + i);
      int config = 1;  // the first tile's, unless this one's differs
      if (still.tiles[i].decoderConfig != first.decoderConfig) {
        boxes.push_back(heifBox("hvcC", still.tiles[i].decoderConfig));
        config = static_cast<int>(boxes.size());
      }
      const bool shared = still.tilesShareData && i > 0;
      items.push_back({id, "hvc1", {{config, true}, {2, false}}, shared ? "" : still.tiles[i].data,
                       false, shared});
      if (i < named) dimg += be(id, 2);
    }
    references += heifBox("dimg", dimg);
  } else {
    Item single{1, "hvc1", {{1, true}, {2, false}}, first.data};
    single.properties.insert(single.properties.end(), own.begin(), own.end());
    items.push_back(single);
  }
  if (still.auxiliaryType) {
    boxes.push_back(heifFullBox("auxC", 0, 0, *still.auxiliaryType + std::string(1, '\0')));
    items.push_back({2, "hvc1", {{1, true}, {2, false}, {int(boxes.size()), true}}, first.data});
    references += heifBox("auxl", be(2, 2) + be(1, 2) + be(primary, 2));
  }
  if (still.thumbnail) {
    boxes.push_back(
        heifFullBox("ispe", 0, 0, be(still.thumbnail->first, 4) + be(still.thumbnail->second, 4)));
    items.push_back({3, "hvc1", {{1, true}, {int(boxes.size()), false}}, first.data});
    references += heifBox("thmb", be(3, 2) + be(1, 2) + be(primary, 2));
  }

  std::string infos;
  std::string associations;
  for (const Item& item : items) {
    infos += heifFullBox("infe", 2, 0, be(item.id, 2) + be(0, 2) + item.type + std::string(1, '\0'));
    associations += be(item.id, 2) + be(item.properties.size(), 1);
    for (const auto& [index, essential] : item.properties) {
      associations += be(static_cast<std::uint32_t>(index) | (essential ? 0x80u : 0u), 1);
    }
  }
  std::string properties;
  for (const std::string& box : boxes) properties += box;
  std::string idat;
  for (const Item& item : items) {
    if (item.inIdat) idat += item.data;
  }

  const std::string fileType = heifBox("ftyp", std::string("heic") + be(0, 4) + "mif1heic");
  // iloc version 1: 4-byte offsets and lengths, no base offset; the meta
  // box's size does not depend on their values, so it is built twice.
  const auto meta = [&](std::uint64_t mdatData) {
    std::string locations = be(0x44, 1) + be(0x00, 1) + be(items.size(), 2);
    std::uint64_t inMdat = mdatData;
    std::uint64_t inIdat = 0;
    std::uint64_t firstTile = 0;
    for (const Item& item : items) {
      locations += be(item.id, 2) + be(item.inIdat ? 1 : 0, 2) + be(0, 2) + be(1, 2);
      if (item.sharesFirstTile) {
        locations += be(firstTile, 4) + be(still.tiles[0].data.size(), 4);
        continue;
      }
      std::uint64_t& at = item.inIdat ? inIdat : inMdat;
      if (item.id == 10) firstTile = at;
      locations += be(at, 4) + be(item.data.size(), 4);
      at += item.data.size();
    }
    std::string body = heifFullBox("hdlr", 0, 0, be(0, 4) + "pict" + std::string(13, '\0')) +
                       heifFullBox("pitm", 0, 0, be(primary, 2)) +
                       heifFullBox("iinf", 0, 0, be(items.size(), 2) + infos) +
                       heifFullBox("iloc", 1, 0, locations) +
                       heifBox("iprp", heifBox("ipco", properties) +
                                           heifFullBox("ipma", 0, 0,
                                                       be(items.size(), 4) + associations));
    if (!references.empty()) body += heifFullBox("iref", 0, 0, references);
    if (!idat.empty()) body += heifBox("idat", idat);
    return heifFullBox("meta", 0, 0, body);
  };
  const std::uint64_t mdatData = fileType.size() + meta(0).size() + 8;
  std::string mdat;
  for (const Item& item : items) {
    if (!item.inIdat) mdat += item.data;
  }
  return fileType + meta(mdatData) + heifBox("mdat", mdat);
}

}  // namespace velmora::testing
