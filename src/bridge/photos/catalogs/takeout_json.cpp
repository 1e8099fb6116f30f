#include "bridge/photos/catalogs/takeout_json.h"

#include <charconv>

#include "base/json_request.h"
#include "base/regular_file.h"

namespace velmora::photos {

namespace {

// Takeout writes the time as a string of seconds ("1450051200"); a number
// is taken too. Years before 1900 or after 2200 are no photo's.
std::optional<double> timestampOf(const nlohmann::json& value) {
  std::int64_t seconds = 0;
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
      return std::nullopt;
    }
  } else if (value.is_number_integer()) {
    seconds = value.get<std::int64_t>();
  } else {
    return std::nullopt;
  }
  if (seconds < -2'208'988'800 || seconds > 7'258'118'400) return std::nullopt;
  return static_cast<double>(seconds);
}

}  // namespace

std::optional<TakeoutFacts> parseTakeoutJson(const std::string& text) {
  const std::optional<nlohmann::json> json = base::parseJsonRequest(text);
  if (!json || !json->is_object()) return std::nullopt;
  TakeoutFacts facts;
  if (const auto favorited = json->find("favorited");
      favorited != json->end() && favorited->is_boolean()) {
    facts.favorited = favorited->get<bool>();
  }
  if (const auto taken = json->find("photoTakenTime"); taken != json->end() && taken->is_object()) {
    if (const auto timestamp = taken->find("timestamp"); timestamp != taken->end()) {
      facts.takenTime = timestampOf(*timestamp);
    }
  }
  return facts;
}

std::optional<TakeoutFacts> readTakeoutJson(const std::string& path) {
  std::string text;
  if (!base::readRegularFile(path, text, maxTakeoutJsonBytes)) return std::nullopt;
  return parseTakeoutJson(text);
}

}  // namespace velmora::photos
