// The fast road for HEIC previews. libheif turns every tile into full-size
// RGB before libvips shrinks it, which costs more than decoding the HEVC
// itself. Here each tile is decoded by FFmpeg and, still in YCbCr, summed
// at once into the blocks libvips' thumbnailer would shrink the shown
// picture to, turned and mirrored as the file says; only these blocks are
// converted to RGB, the way libheif converts, and reduced to the preview's
// size with the thumbnailer's own reduce.
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#include "base/deadline.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "base/vips_ref.h"
#include "bridge/photos/media/heif_layout.h"
#include "bridge/photos/preview/preview_formats.h"
#include "bridge/photos/media/video_input.h"

namespace velmora::photos {

namespace {

using ImageRef = base::VipsRef<VipsImage>;


// HEVC needs no more bytes than this per pixel of a tile, however
// little it compresses; a tile claiming more is not worth reading.
constexpr std::uint64_t maxBytesPerPixel = 4;
constexpr std::uint64_t tileDataSlack = 1u << 16;
constexpr std::uint32_t maxBlockShrink = 4096;

// How one axis of the shown picture is cut into blocks: `count` blocks of
// `shrink` pixels, the first starting `offset` pixels from the shown
// picture's start (negative: the first block is partly outside, and so is
// the last). Pixels outside every block are left out.
struct Lattice {
  std::uint32_t shrink = 1;
  std::uint32_t count = 0;
  std::int64_t offset = 0;
};

// The lattice libvips' thumbnailer samples as: it shrinks an axis of
// `size` by whole `shrink`s and reduces the rest by `reduce`, placing its
// samples as if the shrunk axis were size / shrink long with the shown
// picture centred on it. A whole number of blocks centred the same way
// puts the samples where libvips puts them (to half a pixel when the
// spare pixels are odd). No value when no block count gives the output
// size libvips gives.
std::optional<Lattice> latticeFor(std::uint32_t size, std::uint32_t shrink,
                                  std::uint32_t output, double reduce) {
  std::optional<Lattice> best;
  for (const std::uint32_t count : {size / shrink, (size + shrink - 1) / shrink}) {
    // vips_reduce's output size for `count` blocks.
    if (count == 0 || static_cast<std::uint32_t>(count / reduce + 0.5) != output) continue;
    const std::int64_t spare = std::int64_t{size} - std::int64_t{count} * shrink;
    const Lattice lattice{shrink, count, spare >= 0 ? spare / 2 : -((-spare + 1) / 2)};
    const bool centred = spare % 2 == 0;
    if (!best || (centred && (std::int64_t{size} - std::int64_t{best->count} * shrink) % 2 != 0)) {
      best = lattice;
    }
  }
  return best;
}

// One axis of the shown area, in decoded pixels [begin, begin + length),
// cut by `lattice` counted from the end the shown picture starts at.
class BlockAxis {
 public:
  BlockAxis(std::uint32_t begin, std::uint32_t length, bool reverse, const Lattice& lattice)
      : begin_(begin), length_(length), reverse_(reverse), lattice_(lattice) {
    const std::int64_t first = std::max<std::int64_t>(0, lattice.offset);
    const std::int64_t last = std::min<std::int64_t>(
        length, lattice.offset + std::int64_t{lattice.count} * lattice.shrink);
    from_ = static_cast<std::uint32_t>(reverse ? begin + length - last : begin + first);
    to_ = static_cast<std::uint32_t>(reverse ? begin + length - first : begin + last);
  }

  // The decoded pixels that lie in a block: [from, to).
  std::uint32_t from() const { return from_; }
  std::uint32_t to() const { return to_; }
  std::uint32_t blocks() const { return lattice_.count; }
  // How many pixels block i holds along this axis.
  std::uint32_t blockLength(std::uint32_t i) const {
    const std::int64_t start = lattice_.offset + std::int64_t{i} * lattice_.shrink;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(length_, start + lattice_.shrink) -
                                      std::max<std::int64_t>(0, start));
  }
  // The block of pixel x (from <= x < to), and the first pixel after x
  // that lies in another one.
  std::uint32_t blockOf(std::uint32_t x) const {
    return static_cast<std::uint32_t>((distance(x) - lattice_.offset) / lattice_.shrink);
  }
  std::uint32_t blockEnd(std::uint32_t x) const {
    const std::int64_t edge = lattice_.offset + std::int64_t{blockOf(x)} * lattice_.shrink;
    return static_cast<std::uint32_t>(reverse_ ? std::int64_t{begin_} + length_ - edge
                                               : std::int64_t{begin_} + edge + lattice_.shrink);
  }

 private:
  // How far pixel x lies from the shown picture's start along this axis.
  std::int64_t distance(std::uint32_t x) const {
    return reverse_ ? std::int64_t{begin_} + length_ - 1 - x : std::int64_t{x} - begin_;
  }

  std::uint32_t begin_, length_;
  bool reverse_;
  Lattice lattice_;
  std::uint32_t from_ = 0, to_ = 0;
};

// The shown area of the decoded picture in the blocks of the lattices
// across and down the shown picture: the sums of each block's Y, Cb and Cr,
// chroma counted once for each pixel it stands for (as libheif spreads
// 4:2:0 chroma before libvips shrinks). Blocks are kept along the decoded
// axes; means() turns them the way the shown picture lies. A block holds at
// most maxBlockShrink squared pixels, so its sums fit.
class BlockSums {
 public:
  BlockSums(const ShownArea& area, const Lattice& across, const Lattice& down)
      : x_(area.left, area.width, area.reverseX, area.swapAxes ? down : across),
        y_(area.top, area.height, area.reverseY, area.swapAxes ? across : down),
        swap_(area.swapAxes),
        columns_(x_.blocks()),
        rows_(y_.blocks()),
        luma_(std::size_t{columns_} * rows_),
        cb_(luma_.size()),
        cr_(luma_.size()) {}

  // The size of means(): blocks across and down the shown picture.
  std::uint32_t shownColumns() const { return swap_ ? rows_ : columns_; }
  std::uint32_t shownRows() const { return swap_ ? columns_ : rows_; }

  // Adds a decoded 4:2:0 tile whose top-left pixel is (left, top); what
  // lies outside the shown area is left out.
  void add(const AVFrame& tile, std::uint32_t left, std::uint32_t top) {
    const std::uint32_t from = std::max(left, x_.from());
    const std::uint32_t to = std::min<std::uint64_t>(x_.to(), std::uint64_t{left} + tile.width);
    const std::uint32_t fromRow = std::max(top, y_.from());
    const std::uint32_t toRow = std::min<std::uint64_t>(y_.to(), std::uint64_t{top} + tile.height);
    if (from >= to || fromRow >= toRow) return;
    // The runs of this tile's pixels that share a block, worked out once for
    // all its rows. Chroma sample i stands for pixels left + 2i and
    // left + 2i + 1, so it counts twice, or once where a block edge or the
    // area's edge splits the pair.
    spans_.clear();
    for (std::uint32_t x = from; x < to;) {
      const std::uint32_t end = std::min(to, x_.blockEnd(x));
      spans_.push_back({x_.blockOf(x), x - left, end - left, (x - left) / 2, (end - 1 - left) / 2,
                        (x - left) % 2 == 1, (end - left) % 2 == 1});
      x = end;
    }
    // Rows are summed down each block row first (which vectorises), then
    // across by the runs; a chroma row is added once for each pixel row it
    // stands for.
    const std::uint32_t chromaFrom = (from - left) / 2;
    const std::uint32_t chromaTo = (to - 1 - left) / 2 + 1;
    for (std::uint32_t y = fromRow; y < toRow;) {
      const std::uint32_t blockRow = y_.blockOf(y);
      const std::uint32_t end = std::min(toRow, y_.blockEnd(y));
      lumaRows_.assign(to - left, 0);
      cbRows_.assign(chromaTo, 0);
      crRows_.assign(chromaTo, 0);
      for (; y < end; ++y) {
        const std::ptrdiff_t line = y - top;
        addRow(lumaRows_, tile.data[0] + tile.linesize[0] * line, from - left, to - left);
        addRow(cbRows_, tile.data[1] + tile.linesize[1] * (line / 2), chromaFrom, chromaTo);
        addRow(crRows_, tile.data[2] + tile.linesize[2] * (line / 2), chromaFrom, chromaTo);
      }
      const std::size_t at = std::size_t{blockRow} * columns_;
      for (const Span& span : spans_) {
        std::uint32_t luma = 0;
        for (std::uint32_t i = span.begin; i < span.end; ++i) luma += lumaRows_[i];
        luma_[at + span.block] += luma;
        cb_[at + span.block] += chromaSum(cbRows_, span);
        cr_[at + span.block] += chromaSum(crRows_, span);
      }
    }
  }

  // The block means as interleaved Y, Cb, Cr bytes, row by row of the
  // shown picture.
  std::vector<std::uint8_t> means() const {
    std::vector<std::uint8_t> out(luma_.size() * 3);
    for (std::uint32_t row = 0; row < rows_; ++row) {
      for (std::uint32_t column = 0; column < columns_; ++column) {
        const std::uint32_t count = x_.blockLength(column) * y_.blockLength(row);
        const std::size_t from = std::size_t{row} * columns_ + column;
        const std::size_t to = swap_ ? std::size_t{column} * rows_ + row : from;
        out[to * 3] = static_cast<std::uint8_t>((luma_[from] + count / 2) / count);
        out[to * 3 + 1] = static_cast<std::uint8_t>((cb_[from] + count / 2) / count);
        out[to * 3 + 2] = static_cast<std::uint8_t>((cr_[from] + count / 2) / count);
      }
    }
    return out;
  }

 private:
  // Pixels of one tile row in one block: samples begin .. end - 1 of the
  // row, chroma samples first .. last.
  struct Span {
    std::uint32_t block;
    std::uint32_t begin, end;
    std::uint32_t first, last;
    bool firstHalf, lastHalf;  // the first (last) chroma sample counts once
  };

  static void addRow(std::vector<std::uint32_t>& sums, const std::uint8_t* samples,
                     std::uint32_t from, std::uint32_t to) {
    std::uint32_t* out = sums.data();
    for (std::uint32_t i = from; i < to; ++i) out[i] += samples[i];
  }

  // A run's chroma: each sample twice, as it stands for two pixels, but
  // once where the run holds only one of them.
  static std::uint32_t chromaSum(const std::vector<std::uint32_t>& sums, const Span& span) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = span.first; i <= span.last; ++i) sum += sums[i];
    sum *= 2;
    if (span.firstHalf) sum -= sums[span.first];
    if (span.lastHalf) sum -= sums[span.last];
    return sum;
  }

  BlockAxis x_, y_;
  bool swap_;
  std::uint32_t columns_, rows_;
  std::vector<std::uint32_t> luma_, cb_, cr_;
  std::vector<Span> spans_;
  std::vector<std::uint32_t> lumaRows_, cbRows_, crRows_;
};

bool readAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // the file shrank under us, or cannot be read
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

Codec openDecoder(const HevcStillLayout& layout) {
  quietFfmpeg();
  const AVCodec* hevc = avcodec_find_decoder(AV_CODEC_ID_HEVC);
  if (!hevc) return nullptr;
  Codec codec(avcodec_alloc_context3(hevc));
  if (!codec) return nullptr;
  const std::size_t configSize = layout.decoderConfig.size();
  codec->extradata =
      static_cast<std::uint8_t*>(av_mallocz(configSize + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!codec->extradata) return nullptr;
  std::memcpy(codec->extradata, layout.decoderConfig.data(), configSize);
  codec->extradata_size = static_cast<int>(configSize);
  // A parameter set may claim a larger picture than the tile's: FFmpeg
  // refuses it before allocating (coded sizes round up to 64-pixel blocks).
  codec->max_pixels = static_cast<std::int64_t>(
      std::min<std::uint64_t>(base::maxDecodePixels, (std::uint64_t{layout.tileWidth} + 64) *
                                                         (std::uint64_t{layout.tileHeight} + 64)));
  // Tiles are pictures of their own, decoded side by side; a single picture
  // is split by its rows (wavefronts) when the encoder allowed it. The
  // threads are this file's share of the processors, as libvips' are.
  codec->thread_count = std::max(1, vips_concurrency_get());
  codec->thread_type = layout.tiles.size() > 1 ? FF_THREAD_FRAME : FF_THREAD_SLICE;
  if (avcodec_open2(codec.get(), hevc, nullptr) != 0) return nullptr;
  return codec;
}

// How the samples code colour: a matrix (ITU-T H.273) and the range.
struct Coding {
  int matrix = 2;
  bool fullRange = false;
};

// What the coded picture says of its colour (its video usability
// information, as FFmpeg reads it): libheif goes by this, whatever colour
// box the file has. Saying nothing, HEVC means limited range.
std::optional<Coding> codingOf(const AVFrame& frame) {
  Coding coding;
  coding.fullRange =
      frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P;
  coding.matrix = static_cast<int>(frame.colorspace);
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_UNSPECIFIED:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_BT2020_NCL:
      return coding;
    default:
      return std::nullopt;
  }
}

// Decodes every tile into `sums`, and what the first says of its colour
// into `coding`; false when any tile is missing, broken, not 8-bit 4:2:0
// or not of the layout's size, when tiles code colour differently, or
// past the deadline.
bool decodeTiles(const HevcStillLayout& layout, int fd, BlockSums& sums, Coding& coding,
                 const base::Deadline& deadline) {
  Codec codec = openDecoder(layout);
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  if (!codec || !packet || !frame) return false;
  const std::uint64_t tileLimit =
      std::uint64_t{layout.tileWidth} * layout.tileHeight * maxBytesPerPixel + tileDataSlack;
  std::vector<bool> placed(layout.tiles.size(), false);
  std::size_t placedCount = 0;

  const auto take = [&]() {
    while (true) {
      const int status = avcodec_receive_frame(codec.get(), frame.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
      if (status < 0) return false;
      const std::int64_t index = frame->pts;
      const bool fits = (frame->format == AV_PIX_FMT_YUV420P ||
                         frame->format == AV_PIX_FMT_YUVJ420P) &&
                        frame->width == static_cast<int>(layout.tileWidth) &&
                        frame->height == static_cast<int>(layout.tileHeight) &&
                        (frame->flags & AV_FRAME_FLAG_CORRUPT) == 0 &&
                        frame->decode_error_flags == 0 && index >= 0 &&
                        static_cast<std::size_t>(index) < placed.size() &&
                        !placed[static_cast<std::size_t>(index)];
      const auto tileCoding = codingOf(*frame);
      if (!fits || !tileCoding) return false;
      if (placedCount == 0) {
        coding = *tileCoding;
      } else if (tileCoding->matrix != coding.matrix || tileCoding->fullRange != coding.fullRange) {
        return false;
      }
      placed[static_cast<std::size_t>(index)] = true;
      ++placedCount;
      const auto column = static_cast<std::uint32_t>(index % layout.columns);
      const auto row = static_cast<std::uint32_t>(index / layout.columns);
      sums.add(*frame, column * layout.tileWidth, row * layout.tileHeight);
      av_frame_unref(frame.get());
      if (deadline.passed()) return false;
    }
  };

  for (std::size_t index = 0; index < layout.tiles.size(); ++index) {
    if (deadline.passed()) return false;
    std::uint64_t size = 0;
    for (const ByteRange& range : layout.tiles[index]) size += range.length;
    if (size == 0 || size > tileLimit) return false;
    if (av_new_packet(packet.get(), static_cast<int>(size)) != 0) return false;
    std::uint8_t* at = packet->data;
    for (const ByteRange& range : layout.tiles[index]) {
      if (!readAt(fd, range.offset, at, static_cast<std::size_t>(range.length))) return false;
      at += range.length;
    }
    packet->pts = static_cast<std::int64_t>(index);
    while (true) {
      const int status = avcodec_send_packet(codec.get(), packet.get());
      if (status == 0) break;
      if (status != AVERROR(EAGAIN)) return false;
      if (!take()) return false;
    }
    av_packet_unref(packet.get());
    if (!take()) return false;
  }
  if (avcodec_send_packet(codec.get(), nullptr) != 0 || !take()) return false;
  return placedCount == layout.tiles.size();
}

// YCbCr to RGB as libheif converts 8-bit pictures: the matrix's
// coefficients (ITU-T H.273; 2, unspecified, and the rest read as BT.601),
// limited range stretched to full, rounded and clipped.
class ColourConversion {
 public:
  explicit ColourConversion(const Coding& coding) {
    double kr = 0.299;
    double kb = 0.114;
    if (coding.matrix == 1) {
      kr = 0.2126;
      kb = 0.0722;
    } else if (coding.matrix == 9) {
      kr = 0.2627;
      kb = 0.0593;
    }
    const double kg = 1 - kr - kb;
    for (int v = 0; v < 256; ++v) {
      const double y = coding.fullRange ? v : (v - 16) * (255.0 / 219.0);
      const double c = (v - 128.0) * (coding.fullRange ? 1.0 : 255.0 / 224.0);
      // Offset by half a level so that truncating rounds.
      luma_[v] = static_cast<float>(y + 0.5);
      crToRed_[v] = static_cast<float>(2 * (1 - kr) * c);
      cbToGreen_[v] = static_cast<float>(-2 * kb * (1 - kb) / kg * c);
      crToGreen_[v] = static_cast<float>(-2 * kr * (1 - kr) / kg * c);
      cbToBlue_[v] = static_cast<float>(2 * (1 - kb) * c);
    }
  }

  // Converts interleaved Y, Cb, Cr bytes into R, G, B in place.
  void apply(std::vector<std::uint8_t>& pixels) const {
    for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
      const float y = luma_[pixels[i]];
      const std::uint8_t cb = pixels[i + 1];
      const std::uint8_t cr = pixels[i + 2];
      pixels[i] = clamped(y + crToRed_[cr]);
      pixels[i + 1] = clamped(y + cbToGreen_[cb] + crToGreen_[cr]);
      pixels[i + 2] = clamped(y + cbToBlue_[cb]);
    }
  }

 private:
  static std::uint8_t clamped(float value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0.0f, 255.0f));
  }

  float luma_[256], crToRed_[256], cbToGreen_[256], crToGreen_[256], cbToBlue_[256];
};

std::optional<RgbImage> failed() {
  vips_error_clear();
  return std::nullopt;
}

}  // namespace

std::optional<RgbImage> renderHeic(const std::string& path, std::uint32_t targetWidth,
                                   std::uint32_t targetHeight, const base::Deadline& deadline) {
  const base::UniqueFd file(base::openRegularFile(path));
  if (!file.valid()) return std::nullopt;
  return renderHeic(file.get(), targetWidth, targetHeight, deadline);
}

std::optional<RgbImage> renderHeic(int fd, std::uint32_t targetWidth, std::uint32_t targetHeight,
                                   const base::Deadline& deadline) {
  if (!base::ensureVips() || targetWidth == 0 || targetHeight == 0) return std::nullopt;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const FileBytes bytes{static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0)),
                        [fd](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
                          return readAt(fd, offset, out, n);
                        }};
  const auto layout = readHevcStillLayout(bytes);
  if (!layout) return std::nullopt;
  // The grid's tiles are decoded whole, so they count towards the limit.
  if (!base::withinPixelLimit(layout->width, layout->height) ||
      !base::withinPixelLimit(std::uint64_t{layout->tileWidth} * layout->columns,
                              std::uint64_t{layout->tileHeight} * layout->rows)) {
    return std::nullopt;
  }
  // In any real file each tile's data is its own; tiles that share bytes
  // would let a small file ask for endless decoding.
  std::uint64_t coded = 0;
  for (const auto& tile : layout->tiles) {
    for (const ByteRange& range : tile) {
      if (range.length > bytes.size - coded) return std::nullopt;
      coded += range.length;
    }
  }
  const ShownArea area = shownArea(*layout);
  const std::uint32_t shownWidth = area.swapAxes ? area.height : area.width;
  const std::uint32_t shownHeight = area.swapAxes ? area.width : area.height;
  // libvips would start from a stored thumbnail this large, not from the
  // picture: that is fast already, and it is what today's preview shows.
  if (std::max(layout->thumbnailWidth, layout->thumbnailHeight) >
      std::min(targetWidth, targetHeight)) {
    return std::nullopt;
  }
  const auto target = thumbnailerSize(shownWidth, shownHeight, targetWidth, targetHeight);
  if (!target) return std::nullopt;
  // libvips' thumbnailer reduces both axes by one factor, the one that fits
  // the picture into the box; its reduce first shrinks each axis by whole
  // pixels, by half of size / output size rounded down, and leaves the rest
  // to its lanczos3 kernel. The blocks are that shrink; what follows is
  // that reduce. Pictures that would shrink by less than 2 gain little here
  // and take the ordinary road.
  const double factor = std::max({1.0, double(shownWidth) / targetWidth,
                                  double(shownHeight) / targetHeight});
  const auto wholeShrink = [](std::uint32_t size, std::uint32_t output) {
    return static_cast<std::uint32_t>(std::floor(double(size) / output / 2));
  };
  const std::uint32_t across = wholeShrink(shownWidth, target->width);
  const std::uint32_t down = wholeShrink(shownHeight, target->height);
  if (across < 2 || down < 2 || across > maxBlockShrink || down > maxBlockShrink) {
    return std::nullopt;
  }
  const auto acrossLattice = latticeFor(shownWidth, across, target->width, factor / across);
  const auto downLattice = latticeFor(shownHeight, down, target->height, factor / down);
  if (!acrossLattice || !downLattice) return std::nullopt;

  BlockSums sums(area, *acrossLattice, *downLattice);
  Coding coding;
  if (!decodeTiles(*layout, fd, sums, coding, deadline)) return std::nullopt;
  // Colour is converted at block size: libvips reduces RGB.
  std::vector<std::uint8_t> blocks = sums.means();
  ColourConversion(coding).apply(blocks);
  ImageRef image(vips_image_new_from_memory(blocks.data(), blocks.size(),
                                            static_cast<int>(sums.shownColumns()),
                                            static_cast<int>(sums.shownRows()), 3,
                                            VIPS_FORMAT_UCHAR));
  ImageRef reduced;
  if (!image || vips_reduce(image.get(), reduced.out(), factor / across, factor / down,
                            nullptr) != 0) {
    return failed();
  }
  std::size_t length = 0;
  void* memory = vips_image_write_to_memory(reduced.get(), &length);
  if (!memory) return failed();
  const auto outWidth = static_cast<std::uint32_t>(vips_image_get_width(reduced.get()));
  const auto outHeight = static_cast<std::uint32_t>(vips_image_get_height(reduced.get()));
  std::optional<RgbImage> rgb;
  if (outWidth == target->width && outHeight == target->height &&
      length == std::size_t{outWidth} * outHeight * 3) {
    const auto* pixels = static_cast<const std::uint8_t*>(memory);
    rgb = RgbImage{outWidth, outHeight, std::vector<std::uint8_t>(pixels, pixels + length)};
  }
  g_free(memory);
  if (!rgb) return failed();
  return rgb;
}

}  // namespace velmora::photos
