// Files built to exhaust the decoder: a few bytes that declare a gigantic
// picture, a compressed chunk that inflates without end, a video whose
// index points nowhere. Each is refused or read quietly, and quickly.
#include <gtest/gtest.h>

#include <functional>

#include <cstdint>
#include <filesystem>

#include "bridge/photos/disk_library.h"
#include "base/png_chunks.h"
#include "faults/hostile_images.h"
#include "bridge/photos/media/media_metadata.h"
#include "qr/image_file.h"
#include "support/bridge_runner.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

TEST(ResourceLimits, ImagesDeclaringHugeSizesAreRefusedWithoutDecoding) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"huge.png", pngDeclaring(100000, 100000)},
      {"wide.png", pngDeclaring(2'000'000'000, 1)},
      {"max.png", pngDeclaring(0x7FFFFFFF, 0x7FFFFFFF)},
      {"huge.jpg", jpegDeclaring(65500, 65500)},
      {"tall.jpg", jpegDeclaring(1, 65535)},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / c.name, c.bytes);
    // Refused from the header: decoding would need gigabytes (times are
    // in bench/hostile_bench.cpp; a runaway decoder trips the test timeout).
    EXPECT_FALSE(qr::loadLuma((dir / c.name).string()).has_value());
    // The header is read for the attributes, never the pixels.
    photos::DiskLibrary library(dir.path());
    for (const photos::Asset& asset : library.fetchAll()) {
      library.attributes(asset);
      EXPECT_FALSE(library.requestImage(asset, 600, 600).has_value());
    }
  }
}

TEST(ResourceLimits, PngWhoseChunksClaimMoreThanTheFileIsRefusedBeforeDecoding) {
  const std::string good = pngDeclaring(8, 8);
  const std::string signatureAndHeader = good.substr(0, 8 + 25);
  struct Case {
    const char* what;
    std::string bytes;
    bool fits;
  };
  const std::vector<Case> cases = {
      {"a whole PNG", good, true},
      {"cut off inside the image data", good.substr(0, good.size() - 20), true},
      {"not a PNG", "GIF89a", true},
      {"a text chunk claiming 2 GB in a tiny file", pngTextBomb(), false},
      {"a chunk longer than PNG allows",
       signatureAndHeader + bigEndian(0x80000000) + "tEXt" + std::string(16, 'a'), false},
      {"a header chunk beyond the end", std::string("\x89PNG\r\n\x1a\n", 8) + bigEndian(13) + "IHDR",
       false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(base::pngChunksFit(c.bytes.data(), c.bytes.size()), c.fits);
    writeFile(dir / "image.png", c.bytes);
    EXPECT_EQ(base::pngChunksFitFile((dir / "image.png").string()), c.fits);
    if (!c.fits) {
      EXPECT_FALSE(qr::loadLuma((dir / "image.png").string()).has_value());
    }
  }
  // The sample that made libpng allocate a gigabyte for a 57-byte file.
  const fs::path sample = testdata() / "bad" / "corrupt" / "libpng_huge_zTXt_chunk.png";
  EXPECT_FALSE(base::pngChunksFitFile(sample.string()));
}

TEST(ResourceLimits, SampleBombsAreReadQuietlyAndQuickly) {
  const fs::path bombs = testdata() / "bad" / "bomb";
  for (const char* name : {"png_decompression_dos.png", "lottapixel.jpg"}) {
    SCOPED_TRACE(name);
    const std::optional<qr::LumaImage> image = qr::loadLuma((bombs / name).string());
    if (image) {
      // A tiny real picture behind the text bomb is fine, a huge one is not.
      EXPECT_LE(std::uint64_t{image->width} * image->height, 1'000'000u);
    }
    photos::readImageMetadata((bombs / name).string());
  }
}

TEST(ResourceLimits, VideoWithABrokenIndexIsReadQuietly) {
  const fs::path sample = testdata() / "video" / "sample.mp4";
  const std::string bytes = readFile(sample);
  // The sample-to-chunk offsets, sizes and times point far beyond the file.
  std::string broken = bytes;
  for (const char* atom : {"stco", "co64", "stsz", "stts", "stss", "stsc"}) {
    for (std::size_t at = broken.find(atom); at != std::string::npos;
         at = broken.find(atom, at + 4)) {
      for (std::size_t i = at + 8; i < std::min(broken.size(), at + 64); ++i) broken[i] = '\xFF';
    }
  }
  TempDir dir;
  writeFile(dir / "broken.mp4", broken);
  writeFile(dir / "truncated.mp4", bytes.substr(0, bytes.size() / 3));
  writeFile(dir / "header.mp4", bytes.substr(0, 64));
  photos::DiskLibrary library(dir.path());
  const std::vector<photos::Asset> assets = library.fetchAll();
  ASSERT_EQ(assets.size(), 3u);
  for (const photos::Asset& asset : assets) {
    SCOPED_TRACE(asset.localIdentifier);
    library.attributes(asset);
    // A frame found before the broken part, or none: either is fine.
    const auto preview = library.requestImage(asset, 600, 600);
    if (preview) {
      EXPECT_EQ(preview->pixels.size(), std::size_t{preview->width} * preview->height * 3);
    }
  }
}

// Large files with a picture's name whose first bytes are no format we
// decode (here 1 GB of zeros, which takes no disk): no picture, without
// handing them to libvips, whose other loaders would read them whole.
TEST(ResourceLimits, LargeFilesThatAreNoPictureAreNotRead) {
  TestHome home;
  for (const char* name : {"big.jpg", "big.png", "big.heic"}) {
    SCOPED_TRACE(name);
    const fs::path file = home.scratch() / name;
    writeFile(file, "");
    fs::resize_file(file, std::uintmax_t{1} << 30);
    const BridgeRun run = runBridge({"qr", file.string()}, home);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1u) << run.out;
    EXPECT_EQ(run.lines[0]["qr"], false);
    EXPECT_LT(run.peakResidentKb, 300 * 1024);
    fs::remove(file);
  }
}

}  // namespace
}  // namespace velmora::testing
