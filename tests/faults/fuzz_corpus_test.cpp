// Every input kept under fuzz/corpus/ (the seeds, and the input of every
// finding the fuzz targets made) replayed through the same functions in the
// ordinary suite, so that the sanitizer build checks them on each run too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "bridge/photos/media/capture_date.h"
#include "bridge/photos/media/heif_layout.h"
#include "bridge/photos/identifier.h"
#include "bridge/photos/preview/preview_formats.h"
#include "bridge/photos/media/media_metadata.h"
#include "bridge/photos/media/raw_file.h"
#include "bridge/photos/screenshot.h"
#include "bridge/photos/media/screenshot_marker.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "inventory/metrics.h"
#include "qr/image_file.h"
#include "semantic/semantic_action.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> corpus(const char* target) {
  std::vector<fs::path> files;
  const fs::path folder = fs::path(VELMORA_SOURCE_DIR) / "fuzz" / "corpus" / target;
  if (fs::exists(folder)) {
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzCorpus, IdentifiersResolveInsideTheLibraryOrNotAtAll) {
  const std::vector<fs::path> files = corpus("identifier");
  ASSERT_FALSE(files.empty());
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string text = readFile(file);
    if (const auto path = photos::pathForIdentifier(text)) {
      EXPECT_EQ(photos::identifierForPath(*path), text);
      EXPECT_NE(path->front(), '/');
      EXPECT_EQ(path->find("/."), std::string::npos);
      EXPECT_NE(path->front(), '.');
    }
    EXPECT_EQ(photos::pathForIdentifier(photos::identifierForPath(text)).value_or(text), text);
  }
}

TEST(FuzzCorpus, ImagesDecodeWithinTheLimitOrNotAtAll) {
  const std::vector<fs::path> files = corpus("image_decode");
  ASSERT_FALSE(files.empty());
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    if (const auto image = qr::loadLuma(file.string())) {
      EXPECT_TRUE(base::withinPixelLimit(image->width, image->height));
      EXPECT_EQ(image->pixels.size(), std::size_t{image->width} * image->height);
    }
  }
}

TEST(FuzzCorpus, MetadataReadsQuietly) {
  for (const char* target : {"metadata", "video_metadata"}) {
    const std::vector<fs::path> files = corpus(target);
    ASSERT_FALSE(files.empty()) << target;
    for (const fs::path& file : files) {
      SCOPED_TRACE(file.filename().string());
      if (const auto image = photos::readImageMetadata(file.string())) {
        EXPECT_TRUE(std::isfinite(image->captureDate.value_or(0)));
      }
      if (const auto sidecar = photos::readSidecar(file.string())) {
        EXPECT_TRUE(std::isfinite(sidecar->captureDate.value_or(0)));
      }
      if (const auto video = photos::readVideoMetadata(file.string())) {
        EXPECT_EQ(video->width == 0, video->height == 0);
      }
    }
  }
  const std::vector<fs::path> raws = corpus("raw");
  ASSERT_FALSE(raws.empty());
  for (const fs::path& file : raws) {
    SCOPED_TRACE(file.filename().string());
    const base::UniqueFd fd(base::openRegularFile(file.string()));
    ASSERT_TRUE(fd.valid());
    if (const auto facts = photos::readRawFacts(fd.get())) {
      EXPECT_TRUE(std::isfinite(facts->captureDate.value_or(0)));
    }
    if (const auto preview = photos::readRawPreview(fd.get())) {
      EXPECT_LE(preview->jpeg.size(), fs::file_size(file));
    }
  }
  for (const fs::path& file : corpus("metadata_text")) {
    const std::string text = readFile(file);
    photos::exifDateTime(text, "", "");
    photos::containerDateTime(text);
    photos::xmpDateTime(text);
    photos::screenshotByPath(text);
    photos::isScreenshotComment(text);
  }
}

TEST(FuzzCorpus, PreviewsFitTheBoxAndMeasureToFiniteValues) {
  const std::vector<fs::path> files = corpus("preview");
  ASSERT_FALSE(files.empty());
  TempDir dir;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string bytes = readFile(file);
    if (bytes.empty()) continue;
    // As the fuzz target reads it: the first byte chooses the road.
    const std::string rest = bytes.substr(1);
    writeFile(dir / "input", rest);
    std::optional<photos::RgbImage> preview;
    switch (bytes[0] % 4) {
      case 0:
        preview = photos::renderStill((dir / "input").string(), 600, 600);
        break;
      case 1:
        preview = photos::renderEncodedStill(rest.data(), rest.size(), 600, 600, std::nullopt);
        break;
      case 2:
        if (rest.empty()) continue;
        preview = photos::renderEncodedStill(rest.data() + 1, rest.size() - 1, 600, 600,
                                             rest[0] % 10);
        break;
      default:
        preview = photos::renderVideo((dir / "input").string(), 600, 600);
        break;
    }
    if (!preview) continue;
    EXPECT_LE(preview->width, 600u);
    EXPECT_LE(preview->height, 600u);
    ASSERT_EQ(preview->pixels.size(), std::size_t{preview->width} * preview->height * 3);
    const inventory::LumaGrid grid = inventory::lumaGrid(*preview);
    EXPECT_TRUE(std::isfinite(inventory::lumaVariance(grid)));
    EXPECT_TRUE(std::isfinite(inventory::lumaSharpness(grid)));
  }
}

TEST(FuzzCorpus, HeicLayoutsStayInsideTheirFiles) {
  const std::vector<fs::path> files = corpus("heif_layout");
  ASSERT_FALSE(files.empty());
  TempDir dir;
  int fast = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string bytes = readFile(file);
    if (bytes.empty()) continue;
    // As the fuzz target reads it: an even first byte, the reader alone.
    const std::string rest = bytes.substr(1);
    if (bytes[0] % 2 == 0) {
      const photos::FileBytes source{rest.size(), [&rest](std::uint64_t offset, std::uint8_t* out,
                                                          std::size_t n) {
                                       if (offset > rest.size() || n > rest.size() - offset) {
                                         return false;
                                       }
                                       std::copy_n(rest.data() + offset, n, out);
                                       return true;
                                     }};
      if (const auto layout = photos::readHevcStillLayout(source)) {
        EXPECT_EQ(layout->tiles.size(), std::size_t{layout->columns} * layout->rows);
        for (const auto& tile : layout->tiles) {
          for (const photos::ByteRange& range : tile) {
            EXPECT_LE(range.offset + range.length, rest.size());
          }
        }
      }
      continue;
    }
    writeFile(dir / "input.heic", rest);
    if (const auto preview = photos::renderHeic((dir / "input.heic").string(), 24, 24)) {
      ++fast;
      EXPECT_LE(preview->width, 24u);
      EXPECT_LE(preview->height, 24u);
      EXPECT_EQ(preview->pixels.size(), std::size_t{preview->width} * preview->height * 3);
    }
  }
  EXPECT_GT(fast, 0);  // the seeds do take the fast road
}

class NeverClassifies final : public semantic::Classifier {
 public:
  semantic::Classification classify(const std::string&) override { return {}; }
};

TEST(FuzzCorpus, SemanticRequestsEndWithOneFinalLine) {
  const std::vector<fs::path> files = corpus("semantic_request");
  ASSERT_FALSE(files.empty());
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    NeverClassifies classifier;
    std::vector<bridge::Json> lines;
    const int status = semantic::classifyRequest(
        file.string(), classifier, [&](const bridge::Json& line) { lines.push_back(line); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(status == 1, lines.back().contains("error"));
  }
}

}  // namespace
}  // namespace velmora::testing
