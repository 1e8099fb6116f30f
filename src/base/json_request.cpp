#include "base/json_request.h"

#include <cstddef>
#include <set>
#include <vector>

#include "base/regular_file.h"

namespace velmora::base {

namespace {

using Json = nlohmann::json;

// Walks the text once without building anything, and gives up at the first
// repeated key or level too deep, before the parser would spend memory on
// it.
class StrictShape final : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    keys_.emplace_back();
    ++depth_;
    return depth_ <= maxRequestDepth;
  }
  bool key(string_t& name) override {
    // An array inside an object keeps the object's key set below it.
    return keys_.back().insert(name).second;
  }
  bool end_object() override {
    keys_.pop_back();
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    return depth_ <= maxRequestDepth;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  unsigned depth_ = 0;
  std::vector<std::set<string_t>> keys_;
};

}  // namespace

std::optional<Json> parseJsonRequest(const std::string& text) {
  if (text.find('\0') != std::string::npos) return std::nullopt;
  StrictShape shape;
  if (!Json::sax_parse(text, &shape, nlohmann::detail::input_format_t::json, true, false)) {
    return std::nullopt;
  }
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<Json> readJsonRequest(const std::string& path) {
  std::string text;
  if (!readRegularFile(path, text, maxRequestFileBytes)) return std::nullopt;
  return parseJsonRequest(text);
}

}  // namespace velmora::base
