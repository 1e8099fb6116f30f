#include "bridge/photos/media/heif_layout.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace velmora::photos {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint32_t fourcc(const char (&text)[5]) {
  return (std::uint32_t{static_cast<std::uint8_t>(text[0])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(text[1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(text[2])} << 8) |
         std::uint32_t{static_cast<std::uint8_t>(text[3])};
}

// No real file has more boxes before its pictures or more metadata than
// this; a file beyond it is left to libheif.
constexpr int maxTopLevelBoxes = 4096;
constexpr std::uint64_t maxMetaBytes = std::uint64_t{16} << 20;
// iloc extents may take no bytes at all (fields of size 0): a cap keeps a
// small box from claiming millions of them.
constexpr std::size_t maxExtents = 1u << 20;
// Items, references and properties: far more than any camera writes, and
// an association can only name the first 32,767 properties.
constexpr std::size_t maxItems = 1u << 16;
constexpr std::size_t maxReferences = 1u << 20;
constexpr std::size_t maxProperties = 1u << 15;
// Fractions of a clean aperture with larger denominators are not worth the
// arithmetic; with these, every product fits in 64 bits.
constexpr std::uint32_t maxApertureDenominator = 1u << 16;

// Big-endian fields of one box. A read past the end fails the cursor for
// good and gives 0, so a parse can read on and check once.
class Cursor {
 public:
  explicit Cursor(Bytes bytes) : bytes_(bytes) {}

  std::uint64_t field(std::size_t size) {
    if (size > remaining()) {
      fail();
      return 0;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes_[position_++];
    return value;
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(field(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(field(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(field(4)); }
  std::uint64_t u64() { return field(8); }
  Bytes take(std::uint64_t size) {
    if (size > remaining()) {
      fail();
      return {};
    }
    const Bytes part = bytes_.subspan(position_, static_cast<std::size_t>(size));
    position_ += static_cast<std::size_t>(size);
    return part;
  }
  void skip(std::uint64_t size) { take(size); }
  void fail() {
    failed_ = true;
    position_ = bytes_.size();
  }

  std::size_t remaining() const { return bytes_.size() - position_; }
  std::size_t position() const { return position_; }
  bool failed() const { return failed_; }

 private:
  Bytes bytes_;
  std::size_t position_ = 0;
  bool failed_ = false;
};

struct Box {
  std::uint32_t type = 0;
  Bytes body;
  std::size_t bodyOffset = 0;  // where the body starts in the container
};

// The next child of the container `cursor` reads. False at its end, and
// false with the cursor failed when a box does not fit in its container.
bool nextBox(Cursor& cursor, Box& box) {
  if (cursor.remaining() == 0 || cursor.failed()) return false;
  const std::size_t start = cursor.position();
  std::uint64_t size = cursor.u32();
  box.type = cursor.u32();
  if (size == 1) {
    size = cursor.u64();
  } else if (size == 0) {
    size = cursor.remaining() + (cursor.position() - start);  // up to the container's end
  }
  if (box.type == fourcc("uuid")) cursor.skip(16);
  const std::size_t header = cursor.position() - start;
  if (cursor.failed() || size < header || size - header > cursor.remaining()) {
    cursor.fail();
    return false;
  }
  box.bodyOffset = cursor.position();
  box.body = cursor.take(size - header);
  return true;
}

// The version of a full box; its flags in `flags`.
std::uint8_t fullBoxHeader(Cursor& cursor, std::uint32_t* flags = nullptr) {
  const std::uint32_t word = cursor.u32();
  if (flags) *flags = word & 0xFFFFFFu;
  return static_cast<std::uint8_t>(word >> 24);
}

struct Location {
  int method = 0;  // 0: in the file, 1: in the idat box
  std::vector<ByteRange> extents;
};

struct Association {
  std::uint32_t index = 0;  // 1-based into ipco
  bool essential = false;
};

struct Item {
  bool described = false;  // has an item info entry
  std::uint32_t type = 0;
  bool protectedItem = false;
  bool located = false;
  bool locationUsable = false;  // in this file, by offset
  Location location;
  bool associated = false;
  std::vector<Association> properties;
};

struct Reference {
  std::uint32_t type = 0;
  std::uint32_t from = 0;
  std::vector<std::uint32_t> to;
};

struct Meta {
  bool hasHandler = false;
  bool hasPrimary = false;
  std::uint32_t primary = 0;
  std::unordered_map<std::uint32_t, Item> items;
  std::vector<Box> properties;
  std::vector<Reference> references;
  bool hasIdat = false;
  Bytes idat;
  std::uint64_t idatOffset = 0;  // in the file
};

// The item `id`, made on first mention; null past maxItems.
Item* itemFor(Meta& meta, std::uint32_t id) {
  if (meta.items.size() >= maxItems && !meta.items.contains(id)) return nullptr;
  return &meta.items[id];
}

bool readHandler(Bytes body, Meta& meta) {
  Cursor cursor(body);
  fullBoxHeader(cursor);
  cursor.u32();  // pre_defined
  const std::uint32_t handler = cursor.u32();
  meta.hasHandler = !cursor.failed() && handler == fourcc("pict");
  return meta.hasHandler;
}

bool readPrimary(Bytes body, Meta& meta) {
  if (meta.hasPrimary) return false;
  Cursor cursor(body);
  const std::uint8_t version = fullBoxHeader(cursor);
  meta.primary = version == 0 ? cursor.u16() : cursor.u32();
  meta.hasPrimary = true;
  return !cursor.failed();
}

bool readItemInfos(Bytes body, Meta& meta) {
  Cursor cursor(body);
  const std::uint8_t version = fullBoxHeader(cursor);
  cursor.skip(version == 0 ? 2 : 4);  // the entry count: the boxes themselves say it
  Box entry;
  while (nextBox(cursor, entry)) {
    if (entry.type != fourcc("infe")) continue;
    Cursor info(entry.body);
    const std::uint8_t infoVersion = fullBoxHeader(info);
    if (infoVersion < 2) continue;  // no item type: not a picture
    const std::uint32_t id = infoVersion == 2 ? info.u16() : info.u32();
    const std::uint16_t protection = info.u16();
    const std::uint32_t type = info.u32();
    if (info.failed()) return false;
    Item* item = itemFor(meta, id);
    if (!item || item->described) return false;  // the same item twice
    item->described = true;
    item->type = type;
    item->protectedItem = protection != 0;
  }
  return !cursor.failed();
}

bool validFieldSize(unsigned size) { return size == 0 || size == 4 || size == 8; }

bool readLocations(Bytes body, Meta& meta) {
  Cursor cursor(body);
  const std::uint8_t version = fullBoxHeader(cursor);
  if (version > 2) return false;
  const std::uint8_t sizes = cursor.u8();
  const std::uint8_t more = cursor.u8();
  const unsigned offsetSize = sizes >> 4;
  const unsigned lengthSize = sizes & 0xF;
  const unsigned baseOffsetSize = more >> 4;
  const unsigned indexSize = version >= 1 ? more & 0xF : 0;
  if (!validFieldSize(offsetSize) || !validFieldSize(lengthSize) ||
      !validFieldSize(baseOffsetSize) || !validFieldSize(indexSize)) {
    return false;
  }
  const std::uint32_t count = version < 2 ? cursor.u16() : cursor.u32();
  std::size_t extentsSeen = 0;
  for (std::uint32_t i = 0; i < count && !cursor.failed(); ++i) {
    const std::uint32_t id = version < 2 ? cursor.u16() : cursor.u32();
    const int method = version >= 1 ? cursor.u16() & 0xF : 0;
    const std::uint16_t dataReference = cursor.u16();
    const std::uint64_t base = cursor.field(baseOffsetSize);
    const std::uint16_t extentCount = cursor.u16();
    extentsSeen += extentCount;
    if (extentsSeen > maxExtents) return false;
    Location location;
    location.method = method;
    for (std::uint16_t e = 0; e < extentCount && !cursor.failed(); ++e) {
      cursor.skip(indexSize);
      const std::uint64_t offset = cursor.field(offsetSize);
      const std::uint64_t length = cursor.field(lengthSize);
      if (offset > UINT64_MAX - base) return false;
      location.extents.push_back({base + offset, length});
    }
    Item* item = itemFor(meta, id);
    if (!item || item->located) return false;
    item->located = true;
    item->locationUsable = dataReference == 0 && (method == 0 || method == 1);
    item->location = std::move(location);
  }
  return !cursor.failed();
}

bool readReferences(Bytes body, Meta& meta) {
  Cursor cursor(body);
  const std::uint8_t version = fullBoxHeader(cursor);
  if (version > 1) return false;
  const std::size_t idSize = version == 0 ? 2 : 4;
  std::size_t references = 0;
  Box box;
  while (nextBox(cursor, box)) {
    Cursor entry(box.body);
    Reference reference;
    reference.type = box.type;
    reference.from = static_cast<std::uint32_t>(entry.field(idSize));
    const std::uint16_t count = entry.u16();
    for (std::uint16_t i = 0; i < count && !entry.failed(); ++i) {
      reference.to.push_back(static_cast<std::uint32_t>(entry.field(idSize)));
    }
    references += count;
    if (entry.failed() || references > maxReferences) return false;
    meta.references.push_back(std::move(reference));
  }
  return !cursor.failed();
}

bool readAssociations(Bytes body, Meta& meta) {
  Cursor cursor(body);
  std::uint32_t flags = 0;
  const std::uint8_t version = fullBoxHeader(cursor, &flags);
  const std::uint32_t count = cursor.u32();
  for (std::uint32_t i = 0; i < count && !cursor.failed(); ++i) {
    const std::uint32_t id = version < 1 ? cursor.u16() : cursor.u32();
    const std::uint8_t associations = cursor.u8();
    std::vector<Association> list;
    for (std::uint8_t a = 0; a < associations && !cursor.failed(); ++a) {
      if (flags & 1) {
        const std::uint16_t value = cursor.u16();
        list.push_back({value & 0x7FFFu, (value & 0x8000u) != 0});
      } else {
        const std::uint8_t value = cursor.u8();
        list.push_back({value & 0x7Fu, (value & 0x80u) != 0});
      }
    }
    Item* item = itemFor(meta, id);
    if (!item || item->associated) return false;
    item->associated = true;
    item->properties = std::move(list);
  }
  return !cursor.failed();
}

bool readItemProperties(Bytes body, Meta& meta) {
  Cursor cursor(body);
  Box box;
  bool containerSeen = false;
  while (nextBox(cursor, box)) {
    if (box.type == fourcc("ipco")) {
      if (containerSeen) return false;
      containerSeen = true;
      Cursor properties(box.body);
      Box property;
      while (nextBox(properties, property)) {
        if (meta.properties.size() == maxProperties) return false;
        meta.properties.push_back(property);
      }
      if (properties.failed()) return false;
    } else if (box.type == fourcc("ipma")) {
      if (!readAssociations(box.body, meta)) return false;
    }
  }
  return !cursor.failed() && containerSeen;
}

// `metaBytes` is the whole meta box, which starts at `metaOffset` in the file.
std::optional<Meta> readMeta(Bytes metaBytes, std::uint64_t metaOffset) {
  Cursor outer(metaBytes);
  Box metaBox;
  if (!nextBox(outer, metaBox)) return std::nullopt;
  Cursor cursor(metaBox.body);
  if (fullBoxHeader(cursor) != 0) return std::nullopt;
  Meta meta;
  bool seen[6] = {};  // hdlr, pitm, iinf, iloc, iref, iprp: each at most once
  const auto once = [&seen](int which) { return !std::exchange(seen[which], true); };
  Box box;
  while (nextBox(cursor, box)) {
    bool ok = true;
    switch (box.type) {
      case fourcc("hdlr"):
        ok = once(0) && readHandler(box.body, meta);
        break;
      case fourcc("pitm"):
        ok = once(1) && readPrimary(box.body, meta);
        break;
      case fourcc("iinf"):
        ok = once(2) && readItemInfos(box.body, meta);
        break;
      case fourcc("iloc"):
        ok = once(3) && readLocations(box.body, meta);
        break;
      case fourcc("iref"):
        ok = once(4) && readReferences(box.body, meta);
        break;
      case fourcc("iprp"):
        ok = once(5) && readItemProperties(box.body, meta);
        break;
      case fourcc("idat"):
        ok = !meta.hasIdat;
        meta.hasIdat = true;
        meta.idat = box.body;
        meta.idatOffset = metaOffset + metaBox.bodyOffset + box.bodyOffset;
        break;
      default:
        break;
    }
    if (!ok) return std::nullopt;
  }
  if (cursor.failed() || !meta.hasHandler || !meta.hasPrimary) return std::nullopt;
  return meta;
}

// What the properties of one picture item say.
struct Picture {
  Bytes decoderConfig;
  bool sized = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<Box> transforms;  // irot, imir and clap boxes, in order
  bool auxiliary = false;
};

std::optional<Picture> readPicture(const Meta& meta, const Item& item) {
  Picture picture;
  bool hasConfig = false;
  for (const Association& association : item.properties) {
    if (association.index == 0) continue;  // no property
    if (association.index > meta.properties.size()) return std::nullopt;
    const Box& property = meta.properties[association.index - 1];
    Cursor cursor(property.body);
    switch (property.type) {
      case fourcc("hvcC"):
        if (hasConfig) return std::nullopt;
        hasConfig = true;
        picture.decoderConfig = property.body;
        break;
      case fourcc("ispe"):
        if (picture.sized) return std::nullopt;
        fullBoxHeader(cursor);
        picture.width = cursor.u32();
        picture.height = cursor.u32();
        picture.sized = true;
        break;
      case fourcc("irot"):
      case fourcc("imir"):
      case fourcc("clap"):
        picture.transforms.push_back(property);
        break;
      case fourcc("colr"):
      case fourcc("pasp"):
        break;  // libheif shows the pixels as they are whatever these say
      case fourcc("pixi"): {
        fullBoxHeader(cursor);
        const std::uint8_t channels = cursor.u8();
        for (std::uint8_t c = 0; c < channels && !cursor.failed(); ++c) {
          if (cursor.u8() != 8) return std::nullopt;
        }
        break;
      }
      case fourcc("auxC"):
        picture.auxiliary = true;  // a picture beside another: an alpha or depth plane
        break;
      default:
        if (association.essential) return std::nullopt;
        break;
    }
    if (cursor.failed()) return std::nullopt;
  }
  return picture;
}

// The first property of `type` that `item` has, or null.
const Box* propertyOf(const Meta& meta, const Item& item, std::uint32_t type) {
  for (const Association& association : item.properties) {
    if (association.index == 0 || association.index > meta.properties.size()) continue;
    const Box& property = meta.properties[association.index - 1];
    if (property.type == type) return &property;
  }
  return nullptr;
}

bool isAlpha(std::string_view auxiliaryType) {
  return auxiliaryType == "urn:mpeg:hevc:2015:auxid:1" ||
         auxiliaryType == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
}

// 8-bit 4:2:0 by its decoder configuration record.
bool plainHevc(Bytes config) {
  if (config.size() < 23 || config[0] != 1) return false;
  const int chromaFormat = config[16] & 0x3;
  const int lumaBits = (config[17] & 0x7) + 8;
  const int chromaBits = (config[18] & 0x7) + 8;
  return chromaFormat == 1 && lumaBits == 8 && chromaBits == 8;
}

// The item's data as ranges of the file, each inside it.
std::optional<std::vector<ByteRange>> dataRanges(const Meta& meta, const Item& item,
                                                 std::uint64_t fileSize) {
  if (!item.located || !item.locationUsable || item.location.extents.empty()) return std::nullopt;
  std::vector<ByteRange> ranges;
  for (const ByteRange& extent : item.location.extents) {
    if (extent.length == 0) return std::nullopt;  // "all of it": not in a still's pictures
    std::uint64_t offset = extent.offset;
    if (item.location.method == 1) {
      if (!meta.hasIdat || extent.offset > meta.idat.size() ||
          extent.length > meta.idat.size() - extent.offset) {
        return std::nullopt;
      }
      offset += meta.idatOffset;
    }
    if (offset > fileSize || extent.length > fileSize - offset) return std::nullopt;
    ranges.push_back({offset, extent.length});
  }
  return ranges;
}

std::optional<std::vector<std::uint8_t>> readRanges(const FileBytes& file,
                                                    const std::vector<ByteRange>& ranges,
                                                    std::size_t limit) {
  std::vector<std::uint8_t> data;
  for (const ByteRange& range : ranges) {
    if (range.length > limit - data.size()) return std::nullopt;
    const std::size_t at = data.size();
    data.resize(at + static_cast<std::size_t>(range.length));
    if (!file.read(range.offset, data.data() + at, static_cast<std::size_t>(range.length))) {
      return std::nullopt;
    }
  }
  return data;
}

// The transforms `boxes` name, starting from a picture of width x height.
bool resolveTransforms(const std::vector<Box>& boxes, std::uint32_t width, std::uint32_t height,
                       std::vector<HeifTransform>& out) {
  for (const Box& box : boxes) {
    Cursor cursor(box.body);
    HeifTransform step;
    if (box.type == fourcc("irot")) {
      step.kind = HeifTransform::Kind::rotate;
      step.quarterTurns = cursor.u8() & 0x3;
      if (cursor.failed()) return false;
      if (step.quarterTurns == 0) continue;
      if (step.quarterTurns % 2 == 1) std::swap(width, height);
    } else if (box.type == fourcc("imir")) {
      step.kind = HeifTransform::Kind::mirror;
      // As libheif reads it: axis 0 swaps top and bottom, axis 1 left and
      // right.
      step.leftRight = (cursor.u8() & 0x1) == 1;
      if (cursor.failed()) return false;
    } else {
      std::uint32_t value[8];
      for (std::uint32_t& v : value) v = cursor.u32();
      if (cursor.failed()) return false;
      const auto [widthN, widthD, heightN, heightD, leftN, leftD, topN, topD] = value;
      for (const std::uint32_t denominator : {widthD, heightD, leftD, topD}) {
        if (denominator == 0 || denominator > maxApertureDenominator) return false;
      }
      if (widthN % widthD != 0 || heightN % heightD != 0) return false;
      const std::int64_t keptWidth = widthN / widthD;
      const std::int64_t keptHeight = heightN / heightD;
      // The aperture's centre lies `offset` from the picture's: its left
      // edge at offset + (width - kept width) / 2.
      const auto edge = [](std::int64_t offsetN, std::int64_t offsetD, std::int64_t full,
                           std::int64_t kept) -> std::optional<std::int64_t> {
        const std::int64_t numerator = 2 * offsetN + (full - kept) * offsetD;
        if (numerator % (2 * offsetD) != 0) return std::nullopt;
        return numerator / (2 * offsetD);
      };
      const auto left = edge(static_cast<std::int32_t>(leftN), leftD, width, keptWidth);
      const auto top = edge(static_cast<std::int32_t>(topN), topD, height, keptHeight);
      if (!left || !top || keptWidth < 1 || keptHeight < 1 || *left < 0 || *top < 0 ||
          *left + keptWidth > width || *top + keptHeight > height) {
        return false;
      }
      step.kind = HeifTransform::Kind::crop;
      step.left = static_cast<std::uint32_t>(*left);
      step.top = static_cast<std::uint32_t>(*top);
      step.width = static_cast<std::uint32_t>(keptWidth);
      step.height = static_cast<std::uint32_t>(keptHeight);
      width = step.width;
      height = step.height;
    }
    out.push_back(step);
  }
  return true;
}

// The meta box of the file, and where it starts.
std::optional<std::pair<std::vector<std::uint8_t>, std::uint64_t>> findMeta(
    const FileBytes& file) {
  std::uint64_t offset = 0;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> meta;  // offset, size
  for (int count = 0; count < maxTopLevelBoxes && offset < file.size; ++count) {
    std::uint8_t head[16];
    const std::uint64_t left = file.size - offset;
    const std::size_t headSize = left < 16 ? static_cast<std::size_t>(left) : 16;
    if (headSize < 8 || !file.read(offset, head, headSize)) return std::nullopt;
    Cursor cursor(Bytes(head, headSize));
    std::uint64_t size = cursor.u32();
    const std::uint32_t type = cursor.u32();
    if (size == 1) size = cursor.u64();
    if (size == 0) size = left;
    if (cursor.failed() || size < 8 || size > left) return std::nullopt;
    if (count == 0) {
      // A HEIF file opens with its brands; the pictures are HEVC ones.
      if (type != fourcc("ftyp") || size < 16 || size > sizeof(std::uint32_t) * 64) {
        return std::nullopt;
      }
      std::vector<std::uint8_t> brands(static_cast<std::size_t>(size));
      if (!file.read(offset, brands.data(), brands.size())) return std::nullopt;
      Cursor list(Bytes(brands).subspan(8));
      bool heic = false;
      for (int i = 0; list.remaining() >= 4; ++i) {
        const std::uint32_t brand = list.u32();
        if (i == 1) continue;  // the minor version
        heic = heic || brand == fourcc("heic") || brand == fourcc("heix") ||
               brand == fourcc("mif1");
      }
      if (!heic) return std::nullopt;
    } else if (type == fourcc("meta")) {
      if (meta || size > maxMetaBytes) return std::nullopt;
      meta = {offset, size};
    }
    offset += size;
  }
  if (!meta) return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(meta->second));
  if (!file.read(meta->first, bytes.data(), bytes.size())) return std::nullopt;
  return std::pair{std::move(bytes), meta->first};
}

// A tile of a grid or the single picture: HEVC, 8-bit 4:2:0, sized.
bool codedPicture(const Item& item, const std::optional<Picture>& picture) {
  return item.type == fourcc("hvc1") && !item.protectedItem && picture && picture->sized &&
         picture->width > 0 && picture->height > 0 && plainHevc(picture->decoderConfig);
}

}  // namespace

ShownArea shownArea(const HevcStillLayout& layout) {
  // Shown pixel (u, v) is decoded pixel (x, y) = (x0 + a u + b v,
  // y0 + c u + d v); each step below is undone on this map.
  std::int64_t x0 = 0, y0 = 0, a = 1, b = 0, c = 0, d = 1;
  std::int64_t width = layout.width, height = layout.height;
  for (const HeifTransform& step : layout.transforms) {
    switch (step.kind) {
      case HeifTransform::Kind::crop:
        x0 += a * step.left + b * step.top;
        y0 += c * step.left + d * step.top;
        width = step.width;
        height = step.height;
        break;
      case HeifTransform::Kind::rotate:
        // A quarter turn anticlockwise: new (u, v) was (width - 1 - v, u).
        for (int turn = 0; turn < step.quarterTurns; ++turn) {
          x0 += a * (width - 1);
          y0 += c * (width - 1);
          std::tie(a, b) = std::pair{b, -a};
          std::tie(c, d) = std::pair{d, -c};
          std::swap(width, height);
        }
        break;
      case HeifTransform::Kind::mirror:
        if (step.leftRight) {  // new (u, v) was (width - 1 - u, v)
          x0 += a * (width - 1);
          y0 += c * (width - 1);
          a = -a;
          c = -c;
        } else {  // new (u, v) was (u, height - 1 - v)
          x0 += b * (height - 1);
          y0 += d * (height - 1);
          b = -b;
          d = -d;
        }
        break;
    }
  }
  ShownArea area;
  area.swapAxes = a == 0;
  area.reverseX = a + b < 0;
  area.reverseY = c + d < 0;
  const std::int64_t alongX = area.swapAxes ? height : width;
  const std::int64_t alongY = area.swapAxes ? width : height;
  area.left = static_cast<std::uint32_t>(area.reverseX ? x0 - (alongX - 1) : x0);
  area.top = static_cast<std::uint32_t>(area.reverseY ? y0 - (alongY - 1) : y0);
  area.width = static_cast<std::uint32_t>(alongX);
  area.height = static_cast<std::uint32_t>(alongY);
  return area;
}

std::optional<HevcStillLayout> readHevcStillLayout(const FileBytes& file) {
  if (!file.read) return std::nullopt;
  const auto found = findMeta(file);
  if (!found) return std::nullopt;
  const auto meta = readMeta(found->first, found->second);
  if (!meta) return std::nullopt;
  const auto primaryEntry = meta->items.find(meta->primary);
  if (primaryEntry == meta->items.end()) return std::nullopt;
  const Item& primary = primaryEntry->second;
  const auto shown = readPicture(*meta, primary);
  if (primary.protectedItem || !shown || shown->auxiliary) return std::nullopt;

  HevcStillLayout layout;
  std::optional<Picture> tile;
  std::vector<std::uint32_t> tileIds;
  if (primary.type == fourcc("hvc1")) {
    tile = shown;
    tileIds.push_back(meta->primary);
    layout.width = shown->width;
    layout.height = shown->height;
  } else if (primary.type == fourcc("grid")) {
    const auto where = dataRanges(*meta, primary, file.size);
    const auto descriptor = where ? readRanges(file, *where, 64) : std::nullopt;
    if (!descriptor) return std::nullopt;
    Cursor cursor(*descriptor);
    const std::uint8_t version = cursor.u8();
    const std::uint8_t flags = cursor.u8();
    layout.rows = cursor.u8() + 1u;
    layout.columns = cursor.u8() + 1u;
    const std::size_t fieldSize = (flags & 1) ? 4 : 2;
    layout.width = static_cast<std::uint32_t>(cursor.field(fieldSize));
    layout.height = static_cast<std::uint32_t>(cursor.field(fieldSize));
    if (cursor.failed() || version != 0 || layout.width == 0 || layout.height == 0) {
      return std::nullopt;
    }
    if (shown->sized && (shown->width != layout.width || shown->height != layout.height)) {
      return std::nullopt;
    }
    for (const Reference& reference : meta->references) {
      if (reference.type != fourcc("dimg") || reference.from != meta->primary) continue;
      if (!tileIds.empty()) return std::nullopt;  // two lists of tiles
      tileIds = reference.to;
    }
    if (tileIds.size() != std::size_t{layout.rows} * layout.columns) return std::nullopt;
  } else {
    return std::nullopt;
  }

  for (const std::uint32_t id : tileIds) {
    const auto entry = meta->items.find(id);
    if (entry == meta->items.end()) return std::nullopt;
    const auto picture = id == meta->primary ? shown : readPicture(*meta, entry->second);
    if (!codedPicture(entry->second, picture) || picture->auxiliary) return std::nullopt;
    if (id != meta->primary && !picture->transforms.empty()) return std::nullopt;
    if (!tile) {
      tile = picture;
    } else if (!std::ranges::equal(picture->decoderConfig, tile->decoderConfig) ||
               picture->width != tile->width || picture->height != tile->height) {
      return std::nullopt;
    }
    auto ranges = dataRanges(*meta, entry->second, file.size);
    if (!ranges) return std::nullopt;
    layout.tiles.push_back(std::move(*ranges));
  }
  layout.tileWidth = tile->width;
  layout.tileHeight = tile->height;
  // A grid's tiles cover its picture; those of the last column and row may
  // reach beyond it.
  if (std::uint64_t{layout.tileWidth} * layout.columns < layout.width ||
      std::uint64_t{layout.tileHeight} * layout.rows < layout.height) {
    return std::nullopt;
  }
  layout.decoderConfig.assign(tile->decoderConfig.begin(), tile->decoderConfig.end());
  if (!resolveTransforms(shown->transforms, layout.width, layout.height, layout.transforms)) {
    return std::nullopt;
  }

  for (const Reference& reference : meta->references) {
    const bool ofPrimary = std::ranges::find(reference.to, meta->primary) != reference.to.end();
    if (!ofPrimary) continue;
    const auto entry = meta->items.find(reference.from);
    if (entry == meta->items.end()) continue;
    if (reference.type == fourcc("auxl")) {
      const Box* type = propertyOf(*meta, entry->second, fourcc("auxC"));
      if (!type) continue;
      Cursor cursor(type->body);
      fullBoxHeader(cursor);
      const Bytes rest = cursor.take(cursor.remaining());
      std::string_view name(reinterpret_cast<const char*>(rest.data()), rest.size());
      if (isAlpha(name.substr(0, name.find('\0')))) return std::nullopt;
    } else if (reference.type == fourcc("thmb")) {
      const Box* size = propertyOf(*meta, entry->second, fourcc("ispe"));
      if (!size) continue;
      Cursor cursor(size->body);
      fullBoxHeader(cursor);
      const std::uint32_t width = cursor.u32();
      const std::uint32_t height = cursor.u32();
      if (!cursor.failed() &&
          std::max(width, height) > std::max(layout.thumbnailWidth, layout.thumbnailHeight)) {
        layout.thumbnailWidth = width;
        layout.thumbnailHeight = height;
      }
    }
  }
  return layout;
}

}  // namespace velmora::photos
