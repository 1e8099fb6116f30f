#include "bridge/emit.h"

#include <gtest/gtest.h>

#include "bridge/messages.h"

namespace velmora::bridge {
namespace {

TEST(Emit, WritesOneCompactLineThatReadsBackUnchanged) {
  const struct {
    Json object;
    std::string expected;
  } cases[] = {
      {errorMessage(messages::callIncomplete), "{\"error\":\"Aufruf unvollständig\"}\n"},
      {Json{{"moved", 2}, {"errors", Json::array()}}, "{\"errors\":[],\"moved\":2}\n"},
      {Json{{"name", "zwei\nZeilen"}}, "{\"name\":\"zwei\\nZeilen\"}\n"},
      {Json{{"favorite", true}, {"video", 1}}, "{\"favorite\":true,\"video\":1}\n"},
      {Json{{"favorite", false}, {"video", 0}}, "{\"favorite\":false,\"video\":0}\n"},
  };
  for (const auto& c : cases) {
    const std::string line = jsonLine(c.object);
    EXPECT_EQ(line, c.expected);
    EXPECT_EQ(Json::parse(line), c.object);
  }
}

TEST(Emit, ReplacesInvalidUtf8InsteadOfFailing) {
  const std::string broken = std::string("Bild") + '\xff' + '\xfe' + ".jpg";
  const std::string line = jsonLine(Json{{"name", broken}});
  ASSERT_EQ(line.back(), '\n');
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(Json::parse(line)["name"], "Bild\xEF\xBF\xBD\xEF\xBF\xBD.jpg");
}

TEST(Emit, KeepsFlagFormsApart) {
  // Booleans stay booleans and 0/1 flags stay numbers after a round trip.
  const Json parsed = Json::parse(jsonLine(Json{{"qr", false}, {"size_known", 0}}));
  EXPECT_TRUE(parsed["qr"].is_boolean());
  EXPECT_TRUE(parsed["size_known"].is_number_integer());
}

TEST(Emit, ProgressTextHasPositionAndTotal) {
  EXPECT_EQ(progressMessage("Fotomediathek", 1, 10), (Json{{"progress", "Fotomediathek: 1/10"}}));
  EXPECT_EQ(progressMessage("QR-Prüfung", 2, 5)["progress"], "QR-Prüfung: 2/5");
}

}  // namespace
}  // namespace velmora::bridge
