#include "semantic/object_classifier.h"

#include <algorithm>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "bridge/messages.h"
#include "semantic/model_files.h"
#include "semantic/semantic_action.h"
#include "support/bridge_runner.h"
#include "support/temp_dir.h"

namespace velmora::semantic {
namespace {

using bridge::Json;
namespace fs = std::filesystem;

std::vector<std::string> topLabels(const Classification& classification, size_t count) {
  std::vector<std::string> labels;
  for (const ClassifierResult& result : classification.results) {
    if (labels.size() == count) break;
    labels.push_back(result.identifier);
  }
  return labels;
}

TEST(ObjectClassifier, RecognisesTheObjectsInRealPhotos) {
  const fs::path model = testing::convertedModel();
  if (model.empty()) {
    GTEST_SKIP() << "converted detector model not built";
  }
  const fs::path darknet = testing::darknetPhotos();
  const fs::path samples = testing::testdata();

  struct Case {
    fs::path photo;
    std::vector<std::string> top;  // expected, in this order, first
    float minimum;                 // the first one's least confidence
  };
  std::vector<Case> cases;
  if (!darknet.empty()) {
    cases.push_back({darknet / "eagle.jpg", {"bird"}, 0.6f});
    cases.push_back({darknet / "horses.jpg", {"horse"}, 0.6f});
    cases.push_back({darknet / "kite.jpg", {"kite", "person"}, 0.5f});
    cases.push_back({darknet / "person.jpg", {"person"}, 0.6f});
  }
  // Portrait photo, upright and in an EXIF-rotated copy.
  cases.push_back({samples / "photos/orientation/pillow_hopper.jpg", {"person", "tie"}, 0.6f});
  cases.push_back({samples / "photos/orientation/pillow_hopper_orientation_6.jpg", {"person", "tie"}, 0.6f});
  cases.push_back({samples / "photos/avif/kids_720p.avif", {"person"}, 0.5f});

  ObjectClassifier classifier(model);
  for (const Case& c : cases) {
    const Classification result = classifier.classify(c.photo.string());
    ASSERT_TRUE(result.ok) << c.photo << ": " << result.error;
    ASSERT_EQ(result.results.size(), objectLabels().size()) << c.photo;
    EXPECT_EQ(topLabels(result, c.top.size()), c.top) << c.photo;
    EXPECT_GE(result.results.front().confidence, c.minimum) << c.photo;
    EXPECT_TRUE(std::is_sorted(result.results.begin(), result.results.end(),
                               [](const auto& a, const auto& b) { return a.confidence > b.confidence; }))
        << c.photo;
  }
}

TEST(ObjectClassifier, UnreadableFilesFailWithAReason) {
  const fs::path model = testing::convertedModel();
  if (model.empty()) {
    GTEST_SKIP() << "converted detector model not built";
  }
  testing::TempDir dir;
  testing::writeFile(dir / "empty.jpg", "");
  testing::writeFile(dir / "text.jpg", "no picture here");
  fs::create_directories(dir / "folder.jpg");
  ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);

  std::vector<fs::path> files = {dir / "missing.jpg", dir / "empty.jpg", dir / "text.jpg", dir / "folder.jpg",
                                 dir / "pipe.jpg"};
  files.push_back(testing::testdata() / "bad/bomb/lottapixel.jpg");
  ObjectClassifier classifier(model);
  for (const fs::path& file : files) {
    const Classification result = classifier.classify(file.string());
    EXPECT_FALSE(result.ok) << file;
    EXPECT_FALSE(result.error.empty()) << file;
    EXPECT_TRUE(result.results.empty()) << file;
  }
  // The detector still works after all that.
  EXPECT_TRUE(classifier.classify((testing::testdata() / "photos/jpeg/white-1x1.jpg").string()).ok);
}

TEST(ObjectClassifier, WithoutAUsableModelEveryItemFailsAndTheRunGivesUp) {
  testing::TempDir dir;
  testing::writeFile(dir / "broken.pb", std::string(4096, '\x7f'));
  const std::string photo = (dir / "photo.jpg").string();
  struct Case {
    fs::path model;
    size_t items;
    const char* finalError;
    const char* reason;
  };
  const Case cases[] = {
      {dir / "absent.pb", 1, bridge::messages::classifierUnavailable, "Erkennungsmodell nicht lesbar"},
      {dir / "broken.pb", 2, bridge::messages::classifierUnavailable, "Erkennungsmodell beschädigt"},
      {fs::path(), 5, bridge::messages::classifierFailedEarly, "Erkennungsmodell fehlt"},
  };
  for (const Case& c : cases) {
    Json items = Json::array();
    for (size_t i = 0; i < c.items; ++i) items.push_back({{"id", i}, {"path", photo}, {"fingerprint", "f"}});
    testing::writeFile(dir / "request.json", Json{{"items", items}}.dump());
    ObjectClassifier classifier(c.model);
    std::vector<Json> lines;
    EXPECT_EQ(classifyRequest((dir / "request.json").string(), classifier,
                              [&](const Json& line) { lines.push_back(line); }),
              1);
    const size_t handled = std::min<size_t>(c.items, 3);
    ASSERT_EQ(lines.size(), 2 * handled + 1) << c.reason;
    for (size_t i = 0; i < handled; ++i) {
      const std::string error = lines[2 * i + 1]["semantic_item"]["error"];
      EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
    }
    EXPECT_EQ(lines.back(), bridge::errorMessage(c.finalError));
  }
}

// Each worker of the action loads a network of its own, at the same time as
// the others, in a fresh process. Loading them side by side once corrupted
// the heap in about one run of ten, so the run is repeated.
TEST(SemanticEndToEnd, NetworksLoadedSideBySideGiveTheSameLinesEveryRun) {
  if (testing::convertedModel().empty() || testing::darknetPhotos().empty()) {
    GTEST_SKIP() << "converted detector model or darknet photos missing";
  }
  testing::TestHome home;
  Json items = Json::array();
  for (const char* name : {"eagle", "horses"}) {
    items.push_back({{"id", name}, {"path", (testing::darknetPhotos() / (std::string(name) + ".jpg")).string()},
                     {"fingerprint", name}});
  }
  testing::writeFile(home.scratch() / "request.json", Json{{"items", items}}.dump());
  std::string first;
  for (int run = 0; run < 10; ++run) {
    const testing::BridgeRun result =
        testing::runBridge({"semantic", (home.scratch() / "request.json").string()}, home);
    ASSERT_EQ(result.status, 0) << "run " << run;
    ASSERT_EQ(result.err, "");
    if (run == 0) first = result.out;
    ASSERT_EQ(result.out, first) << "run " << run;
  }
  EXPECT_NE(first.find("\"classified\":2"), std::string::npos) << first;
}

TEST(SemanticEndToEnd, ClassifiesRealPhotosThroughTheBridge) {
  if (testing::convertedModel().empty()) {
    GTEST_SKIP() << "converted detector model not built";
  }
  const fs::path darknet = testing::darknetPhotos();
  if (darknet.empty()) {
    GTEST_SKIP() << "darknet sample photos not installed";
  }
  testing::TestHome home;
  const Json items = Json::array({
      {{"id", "a"}, {"path", (darknet / "eagle.jpg").string()}, {"fingerprint", "1"}},
      {{"id", 2}, {"path", (home.scratch() / "gone.jpg").string()}, {"fingerprint", nullptr}},
      {{"id", "c"}, {"path", (darknet / "horses.jpg").string()}, {"fingerprint", "3"}},
  });
  testing::writeFile(home.scratch() / "request.json", Json{{"items", items}}.dump());

  const testing::BridgeRun run = testing::runBridge({"semantic", (home.scratch() / "request.json").string()}, home);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(run.allLinesParsed);
  ASSERT_EQ(run.lines.size(), 7u) << run.out;
  EXPECT_EQ(run.lines[0], (Json{{"progress", "Semantische KI: 1/3"}}));
  const Json& eagle = run.lines[1]["semantic_item"];
  EXPECT_EQ(eagle["ok"], true);
  EXPECT_EQ(eagle["id"], "a");
  EXPECT_EQ(eagle["labels"][0]["label"], "bird");
  const Json& gone = run.lines[3]["semantic_item"];
  EXPECT_EQ(gone["ok"], false);
  EXPECT_TRUE(gone["error"].is_string());
  EXPECT_EQ(run.lines[5]["semantic_item"]["labels"][0]["label"], "horse");
  for (size_t line : {1, 5}) {
    for (const Json& label : run.lines[line]["semantic_item"]["labels"]) {
      EXPECT_GE(label["confidence"].get<double>(), 0.15);
    }
  }
  EXPECT_EQ(run.lines[6], (Json{{"processed", 3}, {"classified", 2}, {"model", "apple-vision-classify-r2"}}));
}

}  // namespace
}  // namespace velmora::semantic
