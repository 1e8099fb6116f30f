// Request texts read strictly: what the bridge takes from a request must be
// what any other JSON reader would take from it, or nothing.
#include "base/json_request.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::testing {
namespace {

TEST(JsonRequest, RefusesWhatReadersWouldDisagreeOn) {
  struct Case {
    const char* what;
    std::string text;
    bool accepted;
  };
  const std::string deepest(base::maxRequestDepth, '[');
  const std::string closing(base::maxRequestDepth, ']');
  const std::vector<Case> cases = {
      {"a plain request", R"({"ids": ["a.jpg"], "checks": [{"id": "a.jpg", "hash": "0"}]})", true},
      {"the same key in two objects", R"({"checks": [{"id": "a"}, {"id": "b"}]})", true},
      {"a repeated key", R"({"ids": ["nonexist.jpg"], "ids": ["a.jpg"]})", false},
      {"a repeated key in a nested object",
       R"({"checks": [{"id": "a.jpg", "hash": "0", "id": "b.jpg"}]})", false},
      {"a repeated key behind a nested object",
       R"({"ids": [], "checks": [{"ids": 1}], "ids": ["a.jpg"]})", false},
      {"a trailing NUL", std::string(R"({"ids": ["a.jpg"]})") + '\0', false},
      {"text behind a NUL", std::string(R"({"ids": ["a.jpg"]})") + '\0' + "garbage", false},
      {"trailing text", R"({"ids": ["a.jpg"]} x)", false},
      {"nesting at the limit", deepest + closing, true},
      {"nesting one past the limit", "[" + deepest + closing + "]", false},
      {"30 MB of opening brackets", std::string(30 << 20, '['), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(base::parseJsonRequest(c.text).has_value(), c.accepted);
  }
}

}  // namespace
}  // namespace velmora::testing
