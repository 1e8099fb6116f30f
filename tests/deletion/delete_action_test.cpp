// The delete action against an in-memory library: the order of its checks,
// the question to the user and the one change.
#include "deletion/delete_action.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge/messages.h"
#include "deletion/alert.h"
#include "inventory/fingerprint.h"
#include "support/fake_library.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
namespace messages = bridge::messages;
using nlohmann::json;

struct FakeConfirmation : deletion::Confirmation {
  bool answer = true;
  std::vector<unsigned long> asked;
  bool confirm(unsigned long count) override {
    asked.push_back(count);
    return answer;
  }
};

struct ActionRun {
  int status = -1;
  std::vector<json> lines;
};

ActionRun runDelete(FakeLibrary& library, const std::string& requestText,
                    FakeConfirmation& confirmation) {
  TempDir dir;
  writeFile(dir / "request.json", requestText);
  ActionRun run;
  run.status = deletion::deleteAction(
      {"velmora-bridge", "delete", (dir / "request.json").string()}, library,
      [&](const json& line) { run.lines.push_back(line); }, confirmation);
  return run;
}

void expectError(const ActionRun& run, const std::string& text) {
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], (json{{"error", text}}));
}

using Resources = std::vector<std::tuple<long, std::string, std::optional<std::string>>>;

// Four photos: A and B plain, C with a paired video and a sidecar, and
// D whose original is only in the cloud; E has no resources at all.
FakeLibrary sampleLibrary() {
  FakeLibrary library;
  library.add("A.jpg", 1, Resources{{1, "public.jpeg", "aaaa"}});
  library.add("B.jpg", 1, Resources{{1, "public.jpeg", "bbbb"}});
  library.add("C.heic", 1,
              Resources{{1, "public.heic", "cccc"},
                        {9, "com.apple.quicktime-movie", "mov"},
                        {7, "com.adobe.xmp", "<xmp/>"}});
  library.add("D.jpg", 1, Resources{{1, "public.jpeg", std::nullopt}});
  library.add("E.jpg", 1, Resources{});
  return library;
}

void markFavorite(FakeLibrary& library, const std::string& id) {
  if (FakeLibrary::Entry* entry = library.find(id)) entry->attributes.isFavorite = true;
}

std::string fingerprintOf(FakeLibrary& library, const std::string& id) {
  FakeLibrary::Entry* entry = library.find(id);
  if (entry == nullptr) return "";
  std::uint64_t size = 0;
  std::optional<std::string> hash = inventory::resourceHash(library, entry->asset, size);
  library.readLog.clear();
  return hash.value_or("");
}

TEST(DeleteAction, UnusableRequestsAreInvalidSelections) {
  const std::vector<std::string> requests = {
      R"({"ids": []})",
      R"({"ids": "A.jpg"})",
      R"({"ids": null})",
      R"({"checks": []})",
      R"({})",
      "not json",
      "",
      R"({"ids": ["A.jpg"])",
      "\"A.jpg\"",
      R"([{"ids": ["A.jpg"]}])",
      R"({"ids": ["A.jpg", 3]})",
      R"({"ids": [["A.jpg"]]})",
      R"({"ids": ["A.jpg"], "checks": null})",
      R"({"ids": ["A.jpg"], "checks": {"id": "A.jpg"}})",
      R"({"ids": ["A.jpg"], "checks": ["A.jpg"]})",
      R"({"ids": ["A.jpg"], "checks": [{"hash": "00"}]})",
      R"({"ids": ["A.jpg"], "checks": [{"id": 7, "hash": "00"}]})",
      "{\"ids\": [\"A\xff.jpg\"]}",
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request);
    FakeLibrary library = sampleLibrary();
    FakeConfirmation confirmation;
    expectError(runDelete(library, request, confirmation), messages::selectionInvalid);
    EXPECT_TRUE(library.deletions.empty());
    EXPECT_TRUE(library.readLog.empty());
    EXPECT_TRUE(confirmation.asked.empty());
  }

  // A request file that cannot be read at all: missing, a folder, a pipe
  // nobody writes to, a device without end.
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  for (const fs::path& path :
       {dir / "missing.json", dir.path(), dir / "pipe", fs::path("/dev/zero")}) {
    FakeLibrary library = sampleLibrary();
    FakeConfirmation confirmation;
    ActionRun run;
    run.status = deletion::deleteAction(
        {"velmora-bridge", "delete", path.string()}, library,
        [&](const json& line) { run.lines.push_back(line); }, confirmation);
    expectError(run, messages::selectionInvalid);
    EXPECT_TRUE(library.deletions.empty());
  }
}

TEST(DeleteAction, TheEarliestFailingCheckIsReportedAndNothingIsDeleted) {
  struct Case {
    const char* what;
    std::function<std::string(FakeLibrary&)> request;  // may change the library
    std::string expected;
    std::vector<std::string> readsAllowed;  // resource locations that may be read
  };
  const std::vector<Case> cases = {
      {"an identifier no longer found, beside a favourite and a wrong fingerprint",
       [](FakeLibrary& l) {
         markFavorite(l, "A.jpg");
         return R"({"ids": ["A.jpg", "gone.jpg"], "checks": [{"id": "A.jpg", "hash": "x"}]})";
       },
       messages::selectionChanged,
       {}},
      {"the same identifier twice",
       [](FakeLibrary&) { return R"({"ids": ["A.jpg", "A.jpg"]})"; },
       messages::selectionChanged,
       {}},
      {"identifiers that try to leave the library",
       [](FakeLibrary&) { return R"({"ids": ["A.jpg", "../A.jpg", "/A.jpg"]})"; },
       messages::selectionChanged,
       {}},
      {"a favourite, even when a check would fail too",
       [](FakeLibrary& l) {
         markFavorite(l, "B.jpg");
         return R"({"ids": ["A.jpg", "B.jpg"], "checks": [{"id": "A.jpg", "hash": "x"}]})";
       },
       messages::selectionHasFavorite,
       {}},
      {"a checked asset outside the selection that was deleted meanwhile",
       [](FakeLibrary& l) {
         const std::string a = fingerprintOf(l, "A.jpg");
         return R"({"ids": ["A.jpg"], "checks": [{"id": "A.jpg", "hash": ")" + a +
                R"("}, {"id": "Z.jpg", "hash": ")" + a + R"("}]})";
       },
       messages::duplicateCheckChanged,
       {"A.jpg#0"}},
      {"a checked asset whose original is only in the cloud",
       [](FakeLibrary&) {
         return R"({"ids": ["A.jpg"], "checks": [{"id": "D.jpg", "hash": "00"}]})";
       },
       messages::duplicateCheckChanged,
       {"D.jpg#0"}},
      {"a checked asset without resources",
       [](FakeLibrary&) {
         return R"({"ids": ["E.jpg"], "checks": [{"id": "E.jpg", "hash": ""}]})";
       },
       messages::duplicateCheckChanged,
       {}},
      {"the right digest in upper case",
       [](FakeLibrary& l) {
         std::string a = fingerprintOf(l, "A.jpg");
         for (char& c : a) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return R"({"ids": ["A.jpg"], "checks": [{"id": "A.jpg", "hash": ")" + a + R"("}]})";
       },
       messages::duplicateCheckChanged,
       {"A.jpg#0"}},
      {"a missing hash, and later checks are not examined",
       [](FakeLibrary&) {
         return R"({"ids": ["A.jpg"], "checks": [{"id": "A.jpg"}, {"id": "C.heic"}]})";
       },
       messages::duplicateCheckChanged,
       {"A.jpg#0"}},
      {"a hash that is not a string",
       [](FakeLibrary&) {
         return R"({"ids": ["A.jpg"], "checks": [{"id": "A.jpg", "hash": 12}]})";
       },
       messages::duplicateCheckChanged,
       {"A.jpg#0"}},
      {"a changed resource of an asset with several",
       [](FakeLibrary& l) {
         const std::string c = fingerprintOf(l, "C.heic");
         l.contents["C.heic#2"] = "<xmp rating=5/>";
         return R"({"ids": ["C.heic", "A.jpg"], "checks": [{"id": "C.heic", "hash": ")" + c +
                R"("}]})";
       },
       messages::duplicateCheckChanged,
       {"C.heic#0", "C.heic#1", "C.heic#2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLibrary library = sampleLibrary();
    const std::string request = c.request(library);
    FakeConfirmation confirmation;
    expectError(runDelete(library, request, confirmation), c.expected);
    EXPECT_TRUE(library.deletions.empty());
    EXPECT_TRUE(confirmation.asked.empty());
    for (const std::string& read : library.readLog) {
      EXPECT_NE(std::find(c.readsAllowed.begin(), c.readsAllowed.end(), read), c.readsAllowed.end())
          << read;
    }
  }
}

TEST(DeleteAction, TwoOrMoreAssetsAreDeletedOnlyAfterTheUserAgreed) {
  for (const bool answer : {false, true}) {
    FakeLibrary library = sampleLibrary();
    const std::string c = fingerprintOf(library, "C.heic");
    FakeConfirmation confirmation;
    confirmation.answer = answer;
    const ActionRun run =
        runDelete(library,
                  R"({"ids": ["A.jpg", "B.jpg", "C.heic"], "checks": [{"id": "C.heic", "hash": ")" +
                      c + R"("}], "other": 1})",
                  confirmation);
    EXPECT_EQ(confirmation.asked, std::vector<unsigned long>{3});
    if (answer) {
      EXPECT_EQ(run.status, 0);
      ASSERT_EQ(run.lines.size(), 1u);
      EXPECT_EQ(run.lines[0].dump(), R"({"errors":[],"moved":3})");
      EXPECT_EQ(library.deletions,
                (std::vector<std::vector<std::string>>{{"A.jpg", "B.jpg", "C.heic"}}));
    } else {
      expectError(run, messages::cancelled);
      EXPECT_TRUE(library.deletions.empty());
    }
  }
}

TEST(DeleteAction, ASingleAssetIsDeletedWithoutAskingOrFingerprintingWhenUnchecked) {
  for (const std::string& request :
       {std::string(R"({"ids": ["D.jpg"]})"), std::string(R"({"ids": ["D.jpg"], "checks": []})")}) {
    FakeLibrary library = sampleLibrary();
    FakeConfirmation confirmation;
    confirmation.answer = false;
    const ActionRun run = runDelete(library, request, confirmation);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], (json{{"moved", 1}, {"errors", json::array()}}));
    EXPECT_TRUE(confirmation.asked.empty());
    EXPECT_TRUE(library.readLog.empty());
    EXPECT_EQ(library.deletions, (std::vector<std::vector<std::string>>{{"D.jpg"}}));
  }
}

TEST(DeleteAction, AFailedChangeReportsItsDescriptionOrTheFallback) {
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {std::nullopt, messages::deletionFailed},
      {"", messages::deletionFailed},
      {"„B.jpg“ konnte nicht in den Papierkorb verschoben werden: keine Berechtigung.",
       "„B.jpg“ konnte nicht in den Papierkorb verschoben werden: keine Berechtigung."},
  };
  for (const auto& [description, expected] : cases) {
    FakeLibrary library = sampleLibrary();
    library.changeResult = photos::ChangeResult{false, description};
    FakeConfirmation confirmation;
    expectError(runDelete(library, R"({"ids": ["A.jpg", "B.jpg"]})", confirmation), expected);
    EXPECT_EQ(library.entries.size(), 5u);
  }
}

TEST(DeleteAction, NobodyToAskMeansNotConfirmed) {
  struct NoDisplay : bridge::MainThread {
    int calls = 0;
    void runAndWait(const std::function<void()>&) override { ++calls; }
    bool hasDisplay() const override { return false; }
  } noDisplay;
  EXPECT_FALSE(deletion::AlertConfirmation(nullptr).confirm(2));
  EXPECT_FALSE(deletion::AlertConfirmation(&noDisplay).confirm(2));
  EXPECT_EQ(noDisplay.calls, 0);
}

// A rating that cannot be read may be five stars: such an asset counts as
// a favourite, whatever the other assets are.
TEST(DeleteAction, ARatingThatCannotBeReadCountsAsAFavourite) {
  FakeLibrary library = sampleLibrary();
  library.find("B.jpg")->attributes.favoriteUnknown = true;
  FakeConfirmation confirmation;
  expectError(runDelete(library, R"({"ids": ["A.jpg", "B.jpg"]})", confirmation),
              messages::selectionHasFavorite);
  EXPECT_TRUE(confirmation.asked.empty());
  EXPECT_TRUE(library.deletions.empty());
}

// Checks of many assets look them up together, not one library look each
// (a look lists the asset's whole folder): the selection, the checks, and
// the checks again under the change's lock.
TEST(DeleteAction, ChecksLookTheirAssetsUpTogether) {
  FakeLibrary library;
  std::string ids;
  std::string checks;
  for (int i = 0; i < 500; ++i) {
    const std::string id = "IMG_" + std::to_string(i) + ".jpg";
    const photos::Asset& asset = library.add(id, 1, Resources{{1, "public.jpeg", id}});
    std::uint64_t size = 0;
    const std::string hash = inventory::resourceHash(library, asset, size).value();
    ids += (i > 0 ? ", \"" : "\"") + id + "\"";
    checks += std::string(i > 0 ? ", " : "") + R"({"id": ")" + id + R"(", "hash": ")" + hash + "\"}";
  }
  FakeConfirmation confirmation;
  const ActionRun run =
      runDelete(library, "{\"ids\": [" + ids + "], \"checks\": [" + checks + "]}", confirmation);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], (json{{"moved", 500}, {"errors", json::array()}}));
  EXPECT_LE(library.identifierLookups, 3u);
}

}  // namespace
}  // namespace velmora::testing
