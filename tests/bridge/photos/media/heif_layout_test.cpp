#include "bridge/photos/media/heif_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/heif_writer.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::photos {
namespace {

using testing::HeifStill;

std::optional<HevcStillLayout> layoutOf(const std::string& bytes) {
  const FileBytes file{bytes.size(), [&bytes](std::uint64_t offset, std::uint8_t* out,
                                              std::size_t n) {
                         if (offset > bytes.size() || n > bytes.size() - offset) return false;
                         std::memcpy(out, bytes.data() + offset, n);
                         return true;
                       }};
  return readHevcStillLayout(file);
}

// Two tiles side by side; their data need not decode here.
HeifStill twoTiles(std::vector<testing::HeifProperty> properties = {}) {
  testing::CodedPicture tile;
  tile.decoderConfig = std::string(23, '\0');
  tile.decoderConfig[0] = 1;
  tile.decoderConfig[16] = 1;  // 4:2:0, 8-bit
  tile.width = 64;
  tile.height = 48;
  HeifStill still;
  tile.data = "first tile";
  still.tiles.push_back(tile);
  tile.data = "second";
  still.tiles.push_back(tile);
  still.columns = 2;
  still.width = 120;
  still.height = 40;
  still.properties = std::move(properties);
  return still;
}

TEST(HeifLayout, GridTilesLieInTheFileAndTransformsKeepTheirOrder) {
  for (const bool inIdat : {true, false}) {
    HeifStill still = twoTiles({testing::cleanAperture(100, 30, -2, 4), testing::rotation(1),
                                testing::mirror(1)});
    still.gridInIdat = inIdat;
    const std::string bytes = testing::heifFile(still);
    const auto layout = layoutOf(bytes);
    ASSERT_TRUE(layout) << inIdat;
    EXPECT_EQ(layout->columns, 2u);
    EXPECT_EQ(layout->rows, 1u);
    EXPECT_EQ(layout->width, 120u);
    EXPECT_EQ(layout->height, 40u);
    EXPECT_EQ(layout->tileWidth, 64u);
    ASSERT_EQ(layout->tiles.size(), 2u);
    EXPECT_EQ(bytes.substr(layout->tiles[0][0].offset, layout->tiles[0][0].length), "first tile");
    EXPECT_EQ(bytes.substr(layout->tiles[1][0].offset, layout->tiles[1][0].length), "second");
    ASSERT_EQ(layout->transforms.size(), 3u);
    const HeifTransform& crop = layout->transforms[0];
    EXPECT_EQ(crop.kind, HeifTransform::Kind::crop);
    // 100 of 120 centred is 10 from the left, moved 1 left; 30 of 40 is 5
    // from the top, moved 2 down.
    EXPECT_EQ(crop.left, 9u);
    EXPECT_EQ(crop.top, 7u);
    EXPECT_EQ(crop.width, 100u);
    EXPECT_EQ(crop.height, 30u);
    EXPECT_EQ(layout->transforms[1].quarterTurns, 1);
    EXPECT_TRUE(layout->transforms[2].leftRight);
    // Cropped, turned a quarter anticlockwise, then mirrored left to right:
    // the shown picture's top-left pixel is the crop's bottom-right one, and
    // its columns run along the crop's rows.
    const ShownArea area = shownArea(*layout);
    EXPECT_EQ(area.left, 9u);
    EXPECT_EQ(area.top, 7u);
    EXPECT_EQ(area.width, 100u);
    EXPECT_EQ(area.height, 30u);
    EXPECT_TRUE(area.swapAxes);
    EXPECT_TRUE(area.reverseX);
    EXPECT_TRUE(area.reverseY);
  }
}

TEST(HeifLayout, ShownAreaFollowsEveryTurnAndMirror) {
  struct Case {
    std::vector<testing::HeifProperty> properties;
    bool swap, reverseX, reverseY;
  };
  for (const Case& c : std::vector<Case>{
           {{}, false, false, false},
           {{testing::rotation(1)}, true, true, false},
           {{testing::rotation(2)}, false, true, true},
           {{testing::rotation(3)}, true, false, true},
           {{testing::mirror(0)}, false, false, true},
           {{testing::mirror(1)}, false, true, false},
           // A quarter turn, then top and bottom swapped: a transposition.
           {{testing::rotation(1), testing::mirror(0)}, true, false, false},
       }) {
    const auto layout = layoutOf(testing::heifFile(twoTiles(c.properties)));
    ASSERT_TRUE(layout);
    const ShownArea area = shownArea(*layout);
    EXPECT_EQ(area.swapAxes, c.swap) << c.properties.size();
    EXPECT_EQ(area.reverseX, c.reverseX) << c.properties.size();
    EXPECT_EQ(area.reverseY, c.reverseY) << c.properties.size();
    EXPECT_EQ(area.width, 120u);
    EXPECT_EQ(area.height, 40u);
  }
}

TEST(HeifLayout, RefusesWhatDoesNotParseOrCannotBeShownExactly) {
  const std::string good = testing::heifFile(twoTiles());
  ASSERT_TRUE(layoutOf(good));
  const auto changed = [&good](std::size_t at, const std::string& with) {
    std::string bytes = good;
    bytes.replace(at, with.size(), with);
    return bytes;
  };
  const std::size_t pitm = good.find("pitm");
  const std::size_t idat = good.find("idat");
  ASSERT_NE(pitm, std::string::npos);
  ASSERT_NE(idat, std::string::npos);
  HeifStill missing = twoTiles();
  missing.namedTiles = 1;
  HeifStill tenBit = twoTiles();
  for (auto& tile : tenBit.tiles) tile.decoderConfig[17] = 2;
  HeifStill differentConfigs = twoTiles();
  differentConfigs.tiles[1].decoderConfig[20] = 7;
  HeifStill alpha = twoTiles();
  alpha.auxiliaryType = "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
  HeifStill uncovered = twoTiles();
  uncovered.width = 129;
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"a box longer than the file", good.substr(0, good.size() - 1)},
      {"no brand of HEIC", changed(8, "avif").replace(16, 8, "avifmiaf")},
      {"a handler that is not for pictures", changed(good.find("pict"), "vide")},
      {"a primary item that is not there", changed(pitm + 8, std::string("\0\x07", 2))},
      {"unknown grid version", changed(idat + 4, std::string(1, '\x01'))},
      {"a tile missing", testing::heifFile(missing)},
      {"10-bit tiles", testing::heifFile(tenBit)},
      {"tiles with different configurations", testing::heifFile(differentConfigs)},
      {"alpha", testing::heifFile(alpha)},
      {"tiles that do not cover the grid", testing::heifFile(uncovered)},
      {"an essential property it does not know",
       testing::heifFile(twoTiles({{testing::heifBox("xtra", ""), true}}))},
      {"a crop by half a pixel", testing::heifFile(twoTiles({testing::cleanAperture(99, 30)}))},
      {"a crop larger than the picture",
       testing::heifFile(twoTiles({testing::cleanAperture(121, 30)}))},
  };
  for (const auto& [name, bytes] : cases) EXPECT_FALSE(layoutOf(bytes)) << name;
}

TEST(HeifLayout, ReadsTheSampleFiles) {
  const auto read = [](const char* name) {
    return layoutOf(testing::readFile(testing::testdata() / name));
  };
  const auto phone = read("photos/heif/androidx_sample_still_photo.heic");
  ASSERT_TRUE(phone);
  EXPECT_EQ(phone->tiles.size(), 1u);
  EXPECT_EQ(phone->width, 1080u);
  EXPECT_EQ(phone->height, 1920u);
  const auto hopper = read("photos/heif/pillow_hopper.heif");
  ASSERT_TRUE(hopper);
  EXPECT_EQ(hopper->width, 128u);
  EXPECT_EQ(hopper->height, 128u);
  // A picture with alpha is not for the fast road.
  testing::TempDir made;
  testing::writeTrickyPictures(made.path());
  EXPECT_FALSE(layoutOf(testing::readFile(made / "alpha.heic")));
}

}  // namespace
}  // namespace velmora::photos
