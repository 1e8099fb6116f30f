#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vips/vips.h>

#include <chrono>
#include <cmath>
#include <filesystem>

#include "base/deadline.h"
#include "base/vips.h"
#include "bridge/photos/preview.h"
#include "bridge/photos/preview/preview_formats.h"
#include "support/heif_writer.h"
#include "support/pixels.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::photos {
namespace {

namespace fs = std::filesystem;
using testing::HeifProperty;
using testing::HeifStill;
using testing::meanDifference;

// What the fast road shows of `file` against what libvips shows of it.
void expectSamePreview(const fs::path& file, std::uint32_t box, const std::string& what) {
  const auto fast = renderHeic(file.string(), box, box);
  const auto ordinary = renderStill(file.string(), box, box);
  ASSERT_TRUE(fast) << what << ": the fast road was not taken";
  ASSERT_TRUE(ordinary) << what;
  EXPECT_EQ(fast->width, ordinary->width) << what;
  EXPECT_EQ(fast->height, ordinary->height) << what;
  EXPECT_LT(meanDifference(*fast, *ordinary), 2.0) << what;
}

// Tiles of 256 pixels, 3 across and 2 down: 768 x 512, as a phone's grid
// is 8 x 6 tiles of 512. Encoded once for all tests.
const std::vector<testing::CodedPicture>& gridTiles() {
  static const auto tiles = testing::encodeTiles(256, 3, 2);
  return tiles;
}

HeifStill grid(std::vector<HeifProperty> properties = {}) {
  HeifStill still;
  still.tiles = gridTiles();
  still.columns = 3;
  still.rows = 2;
  still.properties = std::move(properties);
  return still;
}

// A single picture of 1024 x 768 as libvips writes it; `options` for
// heifsave, and an EXIF orientation when not 0.
fs::path savedByLibvips(const fs::path& file, int bands, const char* options = "",
                        int exifOrientation = 0) {
  EXPECT_TRUE(base::ensureVips());
  VipsImage* x = nullptr;
  VipsImage* picture = nullptr;
  vips_xyz(&x, 1024, 768, nullptr);
  VipsImage* bandsOut = nullptr;
  // Ramps across and down; a fourth band is alpha.
  VipsImage* ramps = nullptr;
  const double scale[2] = {0.24, 0.3};
  const double offset[2] = {0, 0};
  vips_linear(x, &ramps, scale, offset, 2, "uchar", TRUE, nullptr);
  VipsImage* parts[4] = {ramps, ramps, ramps, ramps};
  vips_bandjoin(parts, &bandsOut, 2, nullptr);
  vips_extract_band(bandsOut, &picture, 0, "n", bands, nullptr);
  if (exifOrientation != 0) vips_image_set_int(picture, VIPS_META_ORIENTATION, exifOrientation);
  const std::string target = file.string() + options;
  EXPECT_EQ(vips_image_write_to_file(picture, target.c_str(), nullptr), 0) << vips_error_buffer();
  for (VipsImage* image : {x, ramps, bandsOut, picture}) g_object_unref(image);
  vips_error_clear();
  return file;
}

TEST(HeicPreview, ShowsWhatLibvipsShowsOfEveryTransform) {
  testing::TempDir folder;
  struct Case {
    const char* name;
    std::vector<HeifProperty> properties;
    std::uint32_t width = 0, height = 0;  // the grid's output size; 0: all of it
  };
  const std::vector<Case> cases = {
      {"whole grid", {}},
      {"grid cut right and below", {}, 700, 450},
      {"quarter turn", {testing::rotation(1)}},
      {"half turn", {testing::rotation(2)}},
      {"three quarters", {testing::rotation(3)}},
      {"mirror axis 0", {testing::mirror(0)}},
      {"mirror axis 1", {testing::mirror(1)}},
      {"crop off centre", {testing::cleanAperture(600, 400, 40, -22)}},
      {"crop, turn, mirror", {testing::cleanAperture(640, 420, -22, 12), testing::rotation(3),
                              testing::mirror(1)}},
      {"turn, then crop", {testing::rotation(1), testing::cleanAperture(500, 700)}},
      // libheif goes by what the coded pictures say of their colour.
      {"a colour box saying limited range", {testing::colourNclx(6, false)}},
      {"a colour box saying BT.709", {testing::colourNclx(1, true)}},
      {"an unknown property, not essential", {{testing::heifBox("xtra", "1234"), false}}},
  };
  for (const Case& c : cases) {
    HeifStill still = grid(c.properties);
    still.width = c.width;
    still.height = c.height;
    const fs::path file = folder / "grid.heic";
    testing::writeFile(file, testing::heifFile(still));
    // 150: a shrink by 2 before the reduce; 100: by 3, whose blocks split
    // chroma samples.
    for (const std::uint32_t box : {150u, 100u}) {
      expectSamePreview(file, box, std::string(c.name) + " in " + std::to_string(box));
    }
  }
  // A single picture as libvips writes it, and one turned.
  const fs::path saved = savedByLibvips(folder / "single.heic", 3);
  expectSamePreview(saved, 200, "single picture");
  // The EXIF orientation a phone writes beside the file's own turn is never
  // applied on top: the picture stays as its boxes show it.
  const fs::path exif = savedByLibvips(folder / "exif.heic", 3, "", 6);
  expectSamePreview(exif, 200, "EXIF orientation 6");
  const auto upright = renderHeic(exif.string(), 200, 200);
  ASSERT_TRUE(upright);
  EXPECT_EQ(upright->width, 200u);
  EXPECT_EQ(upright->height, 150u);
  HeifStill single;
  single.tiles = {testing::codedPictureOf(saved)};
  single.properties = {testing::rotation(1), testing::mirror(0)};
  testing::writeFile(folder / "turned.heic", testing::heifFile(single));
  expectSamePreview(folder / "turned.heic", 200, "single picture turned");
}

TEST(HeicPreview, ShowsTheSampleFilesAsLibvipsDoes) {
  // Every HEIF sample, and the odd ones the tests make, by whichever road
  // the scan takes, against libvips.
  testing::TempDir made;
  testing::writeTrickyPictures(made.path());
  std::vector<fs::path> files = {made / "alpha.heic", made / "odd.heic"};
  for (const auto& entry : fs::recursive_directory_iterator(testing::testdata() / "photos")) {
    files.push_back(entry.path());
  }
  int compared = 0;
  for (const fs::path& file : files) {
    std::string ext = file.extension().string();
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (ext != ".heic" && ext != ".heif") continue;
    Asset asset;
    asset.resources.push_back(
        {resourceTypePhoto, "public" + ext, file.filename().string(), file});
    const auto shown = renderPreview(asset, 600, 600);
    const auto ordinary = renderStill(file.string(), 600, 600);
    ASSERT_EQ(shown.has_value(), ordinary.has_value()) << file;
    if (!shown) continue;
    EXPECT_LT(meanDifference(*shown, *ordinary), 2.0) << file;
    ++compared;
  }
  EXPECT_GE(compared, 5);
  // Phone-sized pictures take the fast road at 600; these samples are small,
  // so a smaller box makes them take it.
  for (const char* file : {"photos/heif/androidx_sample_still_photo.heic",
                           "photos/motion/sample_MP.heic"}) {
    expectSamePreview(testing::testdata() / file, 150, file);
  }
}

TEST(HeicPreview, LeavesWhatItCannotShowExactlyToLibvips) {
  testing::TempDir folder;
  struct Case {
    const char* name;
    HeifStill still;
    std::uint32_t box = 150;
  };
  HeifStill missingTile = grid();
  missingTile.namedTiles = 5;
  HeifStill alpha = grid();
  alpha.auxiliaryType = "urn:mpeg:hevc:2015:auxid:1";
  HeifStill bigThumbnail = grid();
  bigThumbnail.thumbnail = {{320, 240}};
  HeifStill oddCrop = grid({testing::cleanAperture(601, 400, 0, 0)});
  const std::vector<Case> cases = {
      {"a tile missing", missingTile},
      {"alpha", alpha},
      {"a thumbnail larger than the box", bigThumbnail},
      {"an unknown essential property", grid({{testing::heifBox("xtra", "1234"), true}})},
      {"a crop by half a pixel", oddCrop},
      {"too small to gain", grid(), 300},
  };
  for (const Case& c : cases) {
    const fs::path file = folder / "still.heic";
    testing::writeFile(file, testing::heifFile(c.still));
    EXPECT_FALSE(renderHeic(file.string(), c.box, c.box)) << c.name;
  }
  // Files libvips writes that need what the fast road leaves out; the
  // ordinary road still shows them.
  for (const auto& [name, bands, options] :
       {std::tuple{"10-bit", 3, "[bitdepth=10]"}, std::tuple{"alpha", 4, ""},
        std::tuple{"AV1", 3, "[compression=av1]"}, std::tuple{"4:4:4", 3, "[Q=95]"}}) {
    const fs::path file = savedByLibvips(folder / (std::string(name) + ".heic"), bands, options);
    EXPECT_FALSE(renderHeic(file.string(), 200, 200)) << name;
    Asset asset;
    asset.resources.push_back({resourceTypePhoto, "public.heic", "x.heic", file.string()});
    const auto shown = renderPreview(asset, 200, 200);
    ASSERT_TRUE(shown) << name;
    EXPECT_EQ(shown->width, 200u) << name;
  }
}

TEST(HeicPreview, HostileFilesEndQuietly) {
  testing::TempDir folder;
  const std::string whole = testing::heifFile(grid({testing::rotation(1)}));
  // Cut anywhere: in the boxes, in the grid's description, in a tile.
  for (std::size_t length = 0; length < whole.size(); length += 1 + length / 8) {
    const fs::path file = folder / "cut.heic";
    testing::writeFile(file, whole.substr(0, length));
    EXPECT_FALSE(renderHeic(file.string(), 150, 150)) << length;
  }
  // A grid that claims 65,535 x 65,535 pixels of 256-pixel tiles, one
  // whose tiles claim to be smaller than they decode, and one whose tiles all
  // name the same bytes (a small file asking for endless decoding).
  HeifStill huge = grid();
  huge.width = 65535;
  huge.height = 65535;
  HeifStill smallTiles = grid();
  for (auto& tile : smallTiles.tiles) tile.width = tile.height = 128;
  smallTiles.width = 384;
  smallTiles.height = 256;
  HeifStill shared = grid();
  shared.tilesShareData = true;
  for (const HeifStill& still : {huge, smallTiles, shared}) {
    testing::writeFile(folder / "lie.heic", testing::heifFile(still));
    EXPECT_FALSE(renderHeic((folder / "lie.heic").string(), 60, 60));
  }
  // Past the deadline the file counts as undecodable.
  testing::writeFile(folder / "fine.heic", testing::heifFile(grid()));
  const auto limit = base::fileTimeLimit();
  base::setFileTimeLimit(std::chrono::milliseconds(0));
  EXPECT_FALSE(renderHeic((folder / "fine.heic").string(), 150, 150));
  base::setFileTimeLimit(limit);
  EXPECT_TRUE(renderHeic((folder / "fine.heic").string(), 150, 150));
  // Nothing but a regular file is opened.
  ASSERT_EQ(::mkfifo((folder / "fifo.heic").c_str(), 0600), 0);
  testing::writeFile(folder / "empty.heic", "");
  for (const fs::path& path : {folder / "fifo.heic", fs::path("/dev/zero"), folder / "empty.heic",
                               folder / "missing.heic"}) {
    EXPECT_FALSE(renderHeic(path.string(), 150, 150)) << path;
  }
}

}  // namespace
}  // namespace velmora::photos
