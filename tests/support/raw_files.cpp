#include "support/raw_files.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "support/temp_dir.h"

namespace velmora::testing {

namespace {

std::string le16(std::uint16_t value) {
  return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}

std::string le32(std::uint32_t value) { return le16(value & 0xffff) + le16(value >> 16); }

// One TIFF field: tag, type (1 BYTE, 2 ASCII, 3 SHORT, 4 LONG), count and
// the value's bytes.
struct Field {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  std::string bytes;
};
using Ifd = std::vector<Field>;

Field ascii(std::uint16_t tag, const std::string& text) {
  return {tag, 2, static_cast<std::uint32_t>(text.size() + 1), text + '\0'};
}
Field shorts(std::uint16_t tag, std::initializer_list<std::uint16_t> values) {
  std::string bytes;
  for (const std::uint16_t value : values) bytes += le16(value);
  return {tag, 3, static_cast<std::uint32_t>(values.size()), bytes};
}
Field longValue(std::uint16_t tag, std::uint32_t value) { return {tag, 4, 1, le32(value)}; }
Field byteValues(std::uint16_t tag, std::initializer_list<std::uint8_t> values) {
  return {tag, 1, static_cast<std::uint32_t>(values.size()),
          std::string(values.begin(), values.end())};
}

void setLong(Ifd& ifd, std::uint16_t tag, std::uint32_t value) {
  for (Field& field : ifd) {
    if (field.tag == tag) field.bytes = le32(value);
  }
}

std::uint32_t ifdSize(const Ifd& ifd) {
  return 2 + 12 * static_cast<std::uint32_t>(ifd.size()) + 4;
}

std::uint32_t padded(std::size_t size) { return static_cast<std::uint32_t>(size + (size & 1)); }

// ISO base media boxes: size, type, and where the content starts.
struct Box {
  std::size_t at = 0, size = 0, content = 0;
  std::string type;
};

std::uint64_t bigEndianAt(const std::string& bytes, std::size_t at, int length) {
  std::uint64_t value = 0;
  for (int i = 0; i < length; ++i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

void putBigEndian(std::string& bytes, std::size_t at, int length, std::uint64_t value) {
  for (int i = length - 1; i >= 0; --i, value >>= 8)
    bytes[at + i] = static_cast<char>(value & 0xff);
}

std::vector<Box> boxesIn(const std::string& bytes, std::size_t from, std::size_t to) {
  std::vector<Box> boxes;
  while (from + 8 <= to) {
    Box box;
    box.at = from;
    box.size = bigEndianAt(bytes, from, 4);
    box.type = bytes.substr(from + 4, 4);
    box.content = from + 8;
    if (box.size == 1) {
      box.size = bigEndianAt(bytes, from + 8, 8);
      box.content = from + 16;
    }
    if (box.size < 8 || from + box.size > to) break;
    boxes.push_back(box);
    from += box.size;
  }
  return boxes;
}

std::optional<Box> child(const std::string& bytes, const Box& parent, const std::string& type,
                         std::size_t skip = 0) {
  for (const Box& box : boxesIn(bytes, parent.content + skip, parent.at + parent.size)) {
    if (box.type == type) return box;
  }
  return std::nullopt;
}

}  // namespace

std::string dngBytes(const DngFile& dng) {
  const bool preview = !dng.previewJpeg.empty();
  Ifd ifd0 = {longValue(254, 1)};
  if (preview) {
    ifd0.insert(ifd0.end(), {longValue(256, dng.previewWidth), longValue(257, dng.previewHeight),
                             shorts(258, {8, 8, 8}), shorts(259, {7}), shorts(262, {6})});
  }
  ifd0.insert(ifd0.end(), {ascii(271, "Velmora"), ascii(272, "Test camera")});
  if (preview) ifd0.push_back(longValue(273, 0));
  ifd0.push_back(shorts(274, {static_cast<std::uint16_t>(dng.orientation)}));
  if (preview) {
    const std::uint32_t bytes = dng.claimedPreviewBytes != 0
                                    ? dng.claimedPreviewBytes
                                    : static_cast<std::uint32_t>(dng.previewJpeg.size());
    ifd0.insert(ifd0.end(),
                {shorts(277, {3}), longValue(278, dng.previewHeight), longValue(279, bytes)});
  }
  if (!dng.dateTime.empty()) ifd0.push_back(ascii(306, dng.dateTime));
  ifd0.insert(ifd0.end(), {longValue(330, 0), longValue(34665, 0), byteValues(50706, {1, 4, 0, 0}),
                           ascii(50708, "Velmora Test camera")});

  const std::string sensor(std::size_t{dng.sensorWidth} * dng.sensorHeight * 2, '\0');
  Ifd raw = {longValue(254, 0),
             longValue(256, dng.sensorWidth),
             longValue(257, dng.sensorHeight),
             shorts(258, {16}),
             shorts(259, {1}),
             shorts(262, {32803}),  // colour filter array
             longValue(273, 0),
             shorts(277, {1}),
             longValue(278, dng.sensorHeight),
             longValue(279, static_cast<std::uint32_t>(sensor.size())),
             shorts(33421, {2, 2}),
             byteValues(33422, {0, 1, 1, 2})};

  Ifd exif;
  if (!dng.dateTimeOriginal.empty()) exif.push_back(ascii(36867, dng.dateTimeOriginal));
  if (!dng.offsetTimeOriginal.empty()) exif.push_back(ascii(36881, dng.offsetTimeOriginal));
  if (!dng.subSecTimeOriginal.empty()) exif.push_back(ascii(37521, dng.subSecTimeOriginal));
  if (dng.pixelXDimension != 0) exif.push_back(longValue(40962, dng.pixelXDimension));
  if (dng.pixelYDimension != 0) exif.push_back(longValue(40963, dng.pixelYDimension));

  // Header, the three IFDs, their long values, the preview, the sensor data.
  const std::uint32_t rawAt = 8 + ifdSize(ifd0);
  const std::uint32_t exifAt = rawAt + ifdSize(raw);
  const std::uint32_t dataAt = exifAt + ifdSize(exif);
  std::uint32_t longValues = 0;
  for (const Ifd* ifd : {&ifd0, &raw, &exif}) {
    for (const Field& field : *ifd) {
      if (field.bytes.size() > 4) longValues += padded(field.bytes.size());
    }
  }
  const std::uint32_t previewAt = dataAt + longValues;
  const std::uint32_t sensorAt = previewAt + padded(dng.previewJpeg.size());
  setLong(ifd0, 273, previewAt);
  setLong(ifd0, 330, rawAt);
  setLong(ifd0, 34665, exifAt);
  setLong(raw, 273, sensorAt);

  std::string file = "II" + le16(dng.unknownToExiv2 ? 43 : 42) + le32(8);
  std::string data;
  for (const Ifd* ifd : {&ifd0, &raw, &exif}) {
    file += le16(static_cast<std::uint16_t>(ifd->size()));
    for (const Field& field : *ifd) {
      file += le16(field.tag) + le16(field.type) + le32(field.count);
      if (field.bytes.size() <= 4) {
        file += field.bytes + std::string(4 - field.bytes.size(), '\0');
      } else {
        file += le32(dataAt + static_cast<std::uint32_t>(data.size()));
        data += field.bytes;
        if (data.size() & 1) data += '\0';
      }
    }
    file += le32(0);
  }
  file += data + dng.previewJpeg;
  if (file.size() & 1) file += '\0';
  return file + sensor;
}

void writeDng(const std::filesystem::path& file, const DngFile& dng) {
  writeFile(file, dngBytes(dng));
}

std::string cr3WithPicture(const std::string& jpeg) {
  const std::filesystem::path sample = outsideSample("photos/raw/CanonRaw.cr3");
  if (sample.empty()) return {};
  if (!std::filesystem::exists(sample)) return {};
  std::string bytes = readFile(sample);
  const std::vector<Box> top = boxesIn(bytes, 0, bytes.size());
  const auto moov =
      std::find_if(top.begin(), top.end(), [](const Box& b) { return b.type == "moov"; });
  const auto mdat =
      std::find_if(top.begin(), top.end(), [](const Box& b) { return b.type == "mdat"; });
  if (moov == top.end() || mdat == top.end() || mdat->content == mdat->at + 8) return {};

  // The track whose sample description holds a JPEG: one sample, its size
  // in `stsz`, its place in `co64`.
  std::vector<std::size_t> chunkOffsets;  // where each track's co64 entry is
  std::optional<std::size_t> sizeField, offsetField;
  for (const Box& trak : boxesIn(bytes, moov->content, moov->at + moov->size)) {
    if (trak.type != "trak") continue;
    const auto mdia = child(bytes, trak, "mdia");
    const auto minf = mdia ? child(bytes, *mdia, "minf") : std::nullopt;
    const auto stbl = minf ? child(bytes, *minf, "stbl") : std::nullopt;
    const auto stsd = stbl ? child(bytes, *stbl, "stsd") : std::nullopt;
    const auto stsz = stbl ? child(bytes, *stbl, "stsz") : std::nullopt;
    const auto co64 = stbl ? child(bytes, *stbl, "co64") : std::nullopt;
    if (!stsd || !stsz || !co64) return {};
    chunkOffsets.push_back(co64->content + 8);
    const auto craw = child(bytes, *stsd, "CRAW", 8);
    // CRAW: 8 reserved bytes, then 74 bytes of visual sample entry, then boxes.
    if (craw && child(bytes, *craw, "JPEG", 82)) {
      sizeField = stsz->content + 4;
      offsetField = co64->content + 8;
    }
  }
  if (!sizeField || !offsetField) return {};
  const std::uint64_t at = bigEndianAt(bytes, *offsetField, 8);
  const std::uint64_t size = bigEndianAt(bytes, *sizeField, 4);
  if (at < mdat->content || at + size > mdat->at + mdat->size) return {};

  const std::int64_t grown =
      static_cast<std::int64_t>(jpeg.size()) - static_cast<std::int64_t>(size);
  for (const std::size_t field : chunkOffsets) {
    const std::uint64_t offset = bigEndianAt(bytes, field, 8);
    if (offset > at) putBigEndian(bytes, field, 8, offset + grown);
  }
  putBigEndian(bytes, *sizeField, 4, jpeg.size());
  putBigEndian(bytes, mdat->at + 8, 8, mdat->size + grown);
  bytes.replace(at, size, jpeg);
  return bytes;
}

}  // namespace velmora::testing
