#include "semantic/semantic_action.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <limits>
#include <map>

#include <gtest/gtest.h>

#include "bridge/messages.h"
#include "support/temp_dir.h"

namespace velmora::semantic {
namespace {

using bridge::Json;
namespace messages = bridge::messages;

// Answers from a table by path; unknown paths fail without a description.
class FakeClassifier : public Classifier {
 public:
  std::map<std::string, Classification> answers;
  std::vector<std::string> calls;

  Classification classify(const std::string& path) override {
    calls.push_back(path);
    auto found = answers.find(path);
    return found == answers.end() ? Classification{} : found->second;
  }
};

Classification success(std::vector<ClassifierResult> results = {}) {
  return Classification{true, "", std::move(results)};
}
Classification failure(std::string error) { return Classification{false, std::move(error), {}}; }

struct ActionRun {
  int status = -1;
  std::vector<Json> lines;
};

ActionRun runRequest(const std::string& requestText, Classifier& classifier) {
  testing::TempDir dir;
  testing::writeFile(dir / "request.json", requestText);
  ActionRun run;
  run.status = classifyRequest((dir / "request.json").string(), classifier,
                               [&](const Json& line) { run.lines.push_back(line); });
  return run;
}

Json requestFor(size_t count) {
  Json items = Json::array();
  for (size_t i = 0; i < count; ++i) {
    items.push_back({{"id", i}, {"path", "/p/" + std::to_string(i)}, {"fingerprint", "f" + std::to_string(i)}});
  }
  return Json{{"items", items}};
}

Json labelsOf(const ActionRun& run, size_t item) {
  size_t seen = 0;
  for (const Json& line : run.lines) {
    if (line.contains("semantic_item") && seen++ == item) return line["semantic_item"]["labels"];
  }
  return nullptr;
}

TEST(SemanticWalk, KeepsResultsAtOrAboveThresholdInOrderUpToTwelve) {
  const float nearest = 0.15f;  // widened, just above the double 0.15
  const float below = std::nextafter(nearest, 0.0f);
  std::vector<ClassifierResult> fifteen;
  for (int i = 0; i < 15; ++i) fifteen.push_back({"l" + std::to_string(i), 0.2f + 0.01f * static_cast<float>(i)});

  struct Case {
    const char* what;
    std::vector<ClassifierResult> results;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"nearest float to 0.15 is kept, the next one down dropped",
       {{"a", nearest}, {"b", below}}, {"a"}},
      {"low results are skipped and the walk goes on, order untouched",
       {{"a", 0.3f}, {"b", 0.1f}, {"c", 0.9f}, {"d", 0.0f}, {"e", 1.0f}}, {"a", "c", "e"}},
      {"at most twelve, the first twelve accepted in the given order",
       fifteen, {"l0", "l1", "l2", "l3", "l4", "l5", "l6", "l7", "l8", "l9", "l10", "l11"}},
      {"twelve reached only by accepted ones",
       [&] {
         std::vector<ClassifierResult> mixed;
         for (int i = 0; i < 13; ++i) {
           mixed.push_back({"low" + std::to_string(i), 0.01f});
           mixed.push_back({"hit" + std::to_string(i), 0.5f});
         }
         return mixed;
       }(),
       {"hit0", "hit1", "hit2", "hit3", "hit4", "hit5", "hit6", "hit7", "hit8", "hit9", "hit10", "hit11"}},
      {"not-a-number and infinity are never labels",
       {{"nan", std::numeric_limits<float>::quiet_NaN()}, {"inf", std::numeric_limits<float>::infinity()}, {"a", 0.5f}},
       {"a"}},
      {"nothing at or above the threshold", {{"a", 0.149f}}, {}},
      {"no results at all", {}, {}},
  };
  for (const Case& c : cases) {
    FakeClassifier classifier;
    classifier.answers["/p/0"] = success(c.results);
    const ActionRun run = runRequest(requestFor(1).dump(), classifier);
    ASSERT_EQ(run.status, 0) << c.what;
    const Json labels = labelsOf(run, 0);
    std::vector<std::string> names;
    for (const Json& label : labels) names.push_back(label["label"]);
    EXPECT_EQ(names, c.expected) << c.what;
    EXPECT_EQ(run.lines.back(), (Json{{"processed", 1}, {"classified", 1}, {"model", modelTag}})) << c.what;
  }
}

TEST(SemanticWalk, ConfidenceIsTheSinglePrecisionValueWidened) {
  FakeClassifier classifier;
  classifier.answers["/p/0"] = success({{"bird", 0.15f}, {"dog", 0.7225538f}});
  const ActionRun run = runRequest(requestFor(1).dump(), classifier);
  const Json labels = labelsOf(run, 0);
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels[0]["confidence"].get<double>(), static_cast<double>(0.15f));
  EXPECT_GT(labels[0]["confidence"].get<double>(), 0.15);
  EXPECT_EQ(labels[1]["confidence"].get<double>(), static_cast<double>(0.7225538f));
}

TEST(SemanticRun, ProgressBeforeEachItemAndIdentifiersEchoedInTheirForm) {
  FakeClassifier classifier;
  classifier.answers["/a"] = success({{"cat", 0.8f}});
  classifier.answers["/c"] = failure("Bilddatei nicht lesbar");
  const Json items = Json::array({
      {{"id", 17}, {"path", "/a"}, {"fingerprint", "abc"}},
      {{"id", "x-1"}, {"path", "/b"}, {"fingerprint", Json{{"k", 1}}}},
      {{"id", Json::array({1, 2})}, {"path", "/c"}, {"fingerprint", nullptr}},
  });
  const ActionRun run = runRequest(Json{{"items", items}, {"other", true}}.dump(), classifier);
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 7u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(run.lines[2 * i], bridge::progressMessage("Semantische KI", i + 1, 3));
    const Json& result = run.lines[2 * i + 1]["semantic_item"];
    EXPECT_EQ(result["id"], items[i]["id"]);
    EXPECT_EQ(result["fingerprint"], items[i]["fingerprint"]);
    EXPECT_EQ(result["model"], "apple-vision-classify-r2");
  }
  const Json& ok = run.lines[1]["semantic_item"];
  EXPECT_EQ(ok["ok"], true);
  EXPECT_FALSE(ok.contains("error"));
  EXPECT_EQ(ok["labels"], Json::parse(R"([{"label":"cat","confidence":)" +
                                      Json(static_cast<double>(0.8f)).dump() + "}]"));
  // No description from the classifier: the fixed fallback text.
  EXPECT_EQ(run.lines[3]["semantic_item"]["error"], messages::classificationFailed);
  EXPECT_EQ(run.lines[5]["semantic_item"]["error"], "Bilddatei nicht lesbar");
  for (size_t line : {3, 5}) {
    EXPECT_EQ(run.lines[line]["semantic_item"]["ok"], false);
    EXPECT_EQ(run.lines[line]["semantic_item"]["labels"], Json::array());
  }
  EXPECT_EQ(run.lines[6], (Json{{"processed", 3}, {"classified", 1}, {"model", modelTag}}));
  EXPECT_EQ(classifier.calls, (std::vector<std::string>{"/a", "/b", "/c"}));
}

TEST(SemanticRun, GivesUpExactlyWhenNoItemSucceeds) {
  struct Case {
    std::string outcomes;  // one letter per item: s succeeds, f fails
    size_t classified;     // items handed to the classifier
    const char* error;     // final ErrorMessage, or nullptr for the summary
    unsigned classifiedCount;
  };
  const Case cases[] = {
      {"", 0, nullptr, 0},
      {"f", 1, messages::classifierUnavailable, 0},
      {"ff", 2, messages::classifierUnavailable, 0},
      {"fff", 3, messages::classifierFailedEarly, 0},
      {"ffffffffff", 3, messages::classifierFailedEarly, 0},
      {"sfffffffff", 10, nullptr, 1},
      {"ffs", 3, nullptr, 1},
      {"fsffff", 6, nullptr, 1},
      {"ss", 2, nullptr, 2},
  };
  for (const Case& c : cases) {
    FakeClassifier classifier;
    for (size_t i = 0; i < c.outcomes.size(); ++i) {
      if (c.outcomes[i] == 's') classifier.answers["/p/" + std::to_string(i)] = success();
    }
    const ActionRun run = runRequest(requestFor(c.outcomes.size()).dump(), classifier);
    EXPECT_EQ(classifier.calls.size(), c.classified) << c.outcomes;
    ASSERT_EQ(run.lines.size(), 2 * c.classified + 1) << c.outcomes;
    if (c.error) {
      EXPECT_EQ(run.status, 1) << c.outcomes;
      EXPECT_EQ(run.lines.back(), bridge::errorMessage(c.error)) << c.outcomes;
    } else {
      EXPECT_EQ(run.status, 0) << c.outcomes;
      EXPECT_EQ(run.lines.back(), (Json{{"processed", c.outcomes.size()},
                                        {"classified", c.classifiedCount},
                                        {"model", modelTag}}))
          << c.outcomes;
    }
  }
}

TEST(SemanticRun, RequestsWithoutAnItemsArrayAreInvalid) {
  for (const std::string text :
       {R"({"items": {"0": {"path": "/a"}}})", R"({"item": []})", "not json", R"([{"items": []}])",
        R"({"items": null})", R"({"items": "a"})", "", R"({"items": [)"}) {
    FakeClassifier classifier;
    const ActionRun run = runRequest(text, classifier);
    EXPECT_EQ(run.status, 1) << text;
    ASSERT_EQ(run.lines.size(), 1u) << text;
    EXPECT_EQ(run.lines[0], bridge::errorMessage(messages::semanticRequestInvalid)) << text;
    EXPECT_TRUE(classifier.calls.empty());
  }

  FakeClassifier classifier;
  std::vector<Json> lines;
  EXPECT_EQ(classifyRequest("/nonexistent/velmora/request.json", classifier,
                            [&](const Json& line) { lines.push_back(line); }),
            1);
  EXPECT_EQ(lines, std::vector<Json>{bridge::errorMessage(messages::semanticRequestInvalid)});
}

TEST(SemanticRun, ItemsOfOtherShapesAreFailedItems) {
  const Json shapes = Json::array({7, "/ok", nullptr, Json{{"id", 1}, {"fingerprint", "f"}},
                                   Json{{"id", 2}, {"path", 5}, {"fingerprint", "g"}}});
  FakeClassifier classifier;
  classifier.answers["/ok"] = success({{"dog", 0.5f}});
  Json items = Json::array({{{"id", 0}, {"path", "/ok"}, {"fingerprint", "e"}}});
  for (const Json& shape : shapes) items.push_back(shape);
  const ActionRun run = runRequest(Json{{"items", items}}.dump(), classifier);
  EXPECT_EQ(classifier.calls, std::vector<std::string>{"/ok"});
  ASSERT_EQ(run.lines.size(), 13u);
  for (size_t item = 1; item < items.size(); ++item) {
    const Json& result = run.lines[2 * item + 1]["semantic_item"];
    EXPECT_EQ(result["ok"], false) << item;
    EXPECT_FALSE(result["error"].get<std::string>().empty()) << item;
    EXPECT_EQ(result["labels"], Json::array());
  }
  EXPECT_EQ(run.lines[3]["semantic_item"]["id"], nullptr);
  EXPECT_EQ(run.lines[9]["semantic_item"]["id"], 1);
  EXPECT_EQ(run.lines[9]["semantic_item"]["fingerprint"], "f");
  EXPECT_EQ(run.lines[11]["semantic_item"]["fingerprint"], "g");
  EXPECT_EQ(run.lines.back(), (Json{{"processed", 6}, {"classified", 1}, {"model", modelTag}}));

  // Shapes alone count as failures like any other.
  FakeClassifier untouched;
  const ActionRun early = runRequest(Json{{"items", shapes}}.dump(), untouched);
  EXPECT_EQ(early.status, 1);
  ASSERT_EQ(early.lines.size(), 7u);
  EXPECT_EQ(early.lines.back(), bridge::errorMessage(messages::classifierFailedEarly));
}

// Several workers, each with its own classifier that takes a different time
// per image: the lines, the status and the items touched are those of one
// worker.
TEST(SemanticRun, SeveralWorkersWriteWhatOneWorkerWrites) {
  struct SlowClassifier : FakeClassifier {
    Classification classify(const std::string& path) override {
      std::this_thread::sleep_for(std::chrono::microseconds(std::hash<std::string>{}(path) % 4000));
      return FakeClassifier::classify(path);
    }
  };
  for (const std::string outcomes :
       {"", "f", "ff", "fff", "ffffffffff", "sfffffffff", "ffs", "fsffff", "ss",
        "ssfsfsffsfsssfffsfffffsfffss", "ffsssssssssssssssssss"}) {
    Json request = requestFor(outcomes.size());
    // Items of other shapes fail too, wherever they stand.
    if (outcomes.size() > 6) request["items"][5] = 7;
    std::map<std::string, Classification> answers;
    for (size_t i = 0; i < outcomes.size(); ++i) {
      if (outcomes[i] == 's') answers["/p/" + std::to_string(i)] = success({{"cat", 0.5f}});
    }

    FakeClassifier one;
    one.answers = answers;
    const ActionRun reference = runRequest(request.dump(), one);

    for (const unsigned workers : {2U, 3U, 8U}) {
      std::vector<SlowClassifier> classifiers(workers);
      for (SlowClassifier& classifier : classifiers) classifier.answers = answers;
      testing::TempDir dir;
      testing::writeFile(dir / "request.json", request.dump());
      ActionRun run;
      run.status = classifyRequest(
          (dir / "request.json").string(),
          [&](unsigned worker) -> Classifier& { return classifiers.at(worker); }, workers,
          [&](const Json& line) { run.lines.push_back(line); });
      EXPECT_EQ(run.status, reference.status) << outcomes << ", " << workers << " workers";
      EXPECT_EQ(run.lines, reference.lines) << outcomes << ", " << workers << " workers";
      std::vector<std::string> calls;
      for (const SlowClassifier& classifier : classifiers) {
        calls.insert(calls.end(), classifier.calls.begin(), classifier.calls.end());
      }
      std::sort(calls.begin(), calls.end());
      std::vector<std::string> expected = one.calls;
      std::sort(expected.begin(), expected.end());
      // Each image once; a run that gives up early touches nothing beyond
      // its third item.
      EXPECT_EQ(calls, expected) << outcomes << ", " << workers << " workers";
    }
  }
}

}  // namespace
}  // namespace velmora::semantic
