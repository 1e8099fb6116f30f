#include "semantic/graph_model.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velmora::semantic {

namespace {

using Json = nlohmann::json;

// Protocol buffers wire format, just the parts a GraphDef needs.
class Message {
 public:
  void varint(int field, std::uint64_t value) {
    tag(field, 0);
    rawVarint(value);
  }
  void fixed32(int field, std::uint32_t value) {
    tag(field, 5);
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<char>(value >> shift));
  }
  void bytes(int field, std::string_view value) {
    tag(field, 2);
    rawVarint(value.size());
    bytes_.append(value);
  }
  void message(int field, const Message& inner) { bytes(field, inner.bytes_); }
  const std::string& data() const { return bytes_; }

 private:
  void tag(int field, int wireType) {
    rawVarint((static_cast<std::uint64_t>(field) << 3) | static_cast<std::uint64_t>(wireType));
  }
  void rawVarint(std::uint64_t value) {
    while (value >= 0x80) {
      bytes_.push_back(static_cast<char>((value & 0x7f) | 0x80));
      value >>= 7;
    }
    bytes_.push_back(static_cast<char>(value));
  }
  std::string bytes_;
};

// Field numbers of tensorflow/core/framework/*.proto.
namespace field {
constexpr int graphNode = 1;
constexpr int graphVersions = 4;
constexpr int versionProducer = 1;
constexpr int nodeName = 1, nodeOp = 2, nodeInput = 3, nodeAttr = 5;
constexpr int mapKey = 1, mapValue = 2;
constexpr int attrList = 1, attrS = 2, attrI = 3, attrF = 4, attrB = 5, attrType = 6,
              attrShape = 7, attrTensor = 8;
constexpr int shapeDim = 2, shapeUnknownRank = 3, dimSize = 1;
constexpr int tensorDtype = 1, tensorShape = 2, tensorContent = 4, tensorFloatVal = 5,
              tensorIntVal = 7;
}  // namespace field

constexpr std::uint64_t dtFloat = 1;
constexpr std::uint64_t dtInt32 = 3;

struct Failure {
  std::string text;
};

std::uint64_t dataType(const std::string& name) {
  static const std::map<std::string, std::uint64_t> types = {
      {"DT_FLOAT", 1}, {"DT_DOUBLE", 2}, {"DT_INT32", 3},  {"DT_UINT8", 4},
      {"DT_INT16", 5}, {"DT_INT8", 6},   {"DT_STRING", 7}, {"DT_INT64", 9},
      {"DT_BOOL", 10}, {"DT_HALF", 19}};
  auto found = types.find(name);
  if (found == types.end()) throw Failure{"unbekannter Datentyp " + name};
  return found->second;
}

std::string base64Decode(const std::string& text) {
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+' || c == '-') value = 62;
    else if (c == '/' || c == '_') value = 63;
    else continue;  // padding and line breaks
    buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xff));
    }
  }
  return out;
}

// The converter writes 64-bit integers as decimal strings.
std::int64_t integer(const Json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_string()) return std::stoll(value.get<std::string>());
  throw Failure{"Ganzzahl erwartet"};
}

Message shapeMessage(const std::vector<std::int64_t>& dims) {
  Message shape;
  for (std::int64_t size : dims) {
    Message dim;
    dim.varint(field::dimSize, static_cast<std::uint64_t>(size));
    shape.message(field::shapeDim, dim);
  }
  return shape;
}

Message shapeFromJson(const Json& json) {
  if (json.value("unknownRank", false)) {
    Message shape;
    shape.varint(field::shapeUnknownRank, 1);
    return shape;
  }
  std::vector<std::int64_t> dims;
  if (json.contains("dim")) {
    for (const Json& dim : json.at("dim")) dims.push_back(dim.contains("size") ? integer(dim.at("size")) : 0);
  }
  return shapeMessage(dims);
}

// One AttrValue from its JSON form; false for kinds this converter has no
// use for (functions, placeholders), which are left out.
bool attrValue(const Json& json, Message& out) {
  if (json.contains("s")) {
    out.bytes(field::attrS, base64Decode(json.at("s").get<std::string>()));
  } else if (json.contains("i")) {
    out.varint(field::attrI, static_cast<std::uint64_t>(integer(json.at("i"))));
  } else if (json.contains("f")) {
    out.fixed32(field::attrF, std::bit_cast<std::uint32_t>(json.at("f").get<float>()));
  } else if (json.contains("b")) {
    out.varint(field::attrB, json.at("b").get<bool>() ? 1 : 0);
  } else if (json.contains("type")) {
    out.varint(field::attrType, dataType(json.at("type").get<std::string>()));
  } else if (json.contains("shape")) {
    out.message(field::attrShape, shapeFromJson(json.at("shape")));
  } else if (json.contains("list")) {
    const Json& list = json.at("list");
    Message value;
    if (list.contains("s")) {
      for (const Json& s : list.at("s")) value.bytes(field::attrS, base64Decode(s.get<std::string>()));
    }
    if (list.contains("i")) {
      for (const Json& i : list.at("i")) value.varint(field::attrI, static_cast<std::uint64_t>(integer(i)));
    }
    if (list.contains("f")) {
      for (const Json& f : list.at("f")) {
        value.fixed32(field::attrF, std::bit_cast<std::uint32_t>(f.get<float>()));
      }
    }
    if (list.contains("b")) {
      for (const Json& b : list.at("b")) value.varint(field::attrB, b.get<bool>() ? 1 : 0);
    }
    if (list.contains("type")) {
      for (const Json& t : list.at("type")) value.varint(field::attrType, dataType(t.get<std::string>()));
    }
    if (list.contains("shape")) {
      for (const Json& s : list.at("shape")) value.message(field::attrShape, shapeFromJson(s));
    }
    out.message(field::attrList, value);
  } else {
    return false;
  }
  return true;
}

struct Node {
  std::string name;
  std::string op;
  std::vector<std::string> inputs;
  std::vector<std::pair<std::string, Message>> attrs;

  void attr(const std::string& key, const Message& value) { attrs.emplace_back(key, value); }
  Message encode() const {
    Message node;
    node.bytes(field::nodeName, name);
    node.bytes(field::nodeOp, op);
    for (const std::string& input : inputs) node.bytes(field::nodeInput, input);
    for (const auto& [key, value] : attrs) {
      Message entry;
      entry.bytes(field::mapKey, key);
      entry.message(field::mapValue, value);
      node.message(field::nodeAttr, entry);
    }
    return node;
  }
};

Message typeAttr(std::uint64_t type) {
  Message value;
  value.varint(field::attrType, type);
  return value;
}

// IEEE 754 half precision to single precision, subnormals included.
float widenHalf(std::uint16_t half) {
  const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
  const std::uint32_t exponent = (half >> 10) & 0x1fu;
  const std::uint32_t mantissa = half & 0x3ffu;
  if (exponent == 0) {
    const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    return sign ? -magnitude : magnitude;
  }
  if (exponent == 31) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
  return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

struct Weight {
  std::string dtype;  // "float32" or "int32" after widening
  std::vector<std::int64_t> shape;
  std::vector<float> floats;
  std::vector<std::int32_t> ints;
};

std::map<std::string, Weight> readWeights(const Json& manifest, const std::string& data) {
  std::map<std::string, Weight> weights;
  std::size_t offset = 0;
  for (const Json& group : manifest) {
    for (const Json& entry : group.at("weights")) {
      Weight weight;
      weight.dtype = entry.at("dtype").get<std::string>();
      std::uint64_t count = 1;
      for (const Json& dim : entry.at("shape")) {
        const std::int64_t size = integer(dim);
        if (size < 0 || size > (1 << 28)) throw Failure{"ungültige Gewichtsform"};
        weight.shape.push_back(size);
        count *= static_cast<std::uint64_t>(size);
        if (count > (std::uint64_t{1} << 30)) throw Failure{"Gewicht zu groß"};
      }
      std::string stored = weight.dtype;
      if (entry.contains("quantization")) stored = entry.at("quantization").at("dtype").get<std::string>();
      const std::size_t width = stored == "float16" ? 2 : 4;
      if ((stored != "float16" && stored != "float32" && stored != "int32") ||
          (stored == "float16" && weight.dtype != "float32") ||
          (weight.dtype != "float32" && weight.dtype != "int32")) {
        throw Failure{"nicht unterstützte Gewichtsart " + stored + " für " + entry.at("name").get<std::string>()};
      }
      const std::size_t size = static_cast<std::size_t>(count) * width;
      if (size > data.size() || offset > data.size() - size) throw Failure{"Gewichtsdatei zu kurz"};
      const char* bytes = data.data() + offset;
      if (weight.dtype == "int32") {
        weight.ints.resize(count);
        std::memcpy(weight.ints.data(), bytes, size);
      } else if (stored == "float16") {
        weight.floats.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
          std::uint16_t half;
          std::memcpy(&half, bytes + 2 * i, 2);
          weight.floats[i] = widenHalf(half);
        }
      } else {
        weight.floats.resize(count);
        std::memcpy(weight.floats.data(), bytes, size);
      }
      offset += size;
      weights[entry.at("name").get<std::string>()] = std::move(weight);
    }
  }
  return weights;
}

Node constNode(const std::string& name, const Weight& weight) {
  const bool isInt = weight.dtype == "int32";
  Message tensor;
  tensor.varint(field::tensorDtype, isInt ? dtInt32 : dtFloat);
  tensor.message(field::tensorShape, shapeMessage(weight.shape));
  // Small and integer constants as value lists: OpenCV reads axes, sizes
  // and scalars from there and misreads some of them from raw bytes.
  if (isInt) {
    for (std::int32_t value : weight.ints) {
      tensor.varint(field::tensorIntVal, static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
    }
  } else if (weight.floats.size() == 1) {
    tensor.fixed32(field::tensorFloatVal, std::bit_cast<std::uint32_t>(weight.floats[0]));
  } else {
    std::string content(weight.floats.size() * sizeof(float), '\0');
    std::memcpy(content.data(), weight.floats.data(), content.size());
    tensor.bytes(field::tensorContent, content);
  }
  Message value;
  value.message(field::attrTensor, tensor);
  Node node{name, "Const", {}, {}};
  node.attr("dtype", typeAttr(isInt ? dtInt32 : dtFloat));
  node.attr("value", value);
  return node;
}

std::string producer(const std::string& input) {
  std::string name = input;
  if (!name.empty() && name[0] == '^') name.erase(0, 1);
  const auto colon = name.find(':');
  if (colon != std::string::npos) name.erase(colon);
  return name;
}

// _FusedConv2D and FusedDepthwiseConv2dNative become the plain convolution,
// a BiasAdd and the activation, the last one under the fused node's name.
void splitFused(const Json& json, const std::string& plainOp, std::vector<Node>& out) {
  const std::string name = json.at("name").get<std::string>();
  const Json& attrs = json.at("attr");
  std::vector<std::string> fused;
  if (attrs.contains("fused_ops")) {
    for (const Json& s : attrs.at("fused_ops").at("list").value("s", Json::array())) {
      fused.push_back(base64Decode(s.get<std::string>()));
    }
  }
  std::vector<std::string> inputs;
  for (const Json& input : json.at("input")) {
    if (!input.get<std::string>().starts_with("^")) inputs.push_back(input.get<std::string>());
  }
  if (fused.empty() || fused[0] != "BiasAdd" || fused.size() > 2 || inputs.size() != 3) {
    throw Failure{"nicht unterstützte Verschmelzung in " + name};
  }
  std::string activation = fused.size() == 2 ? fused[1] : "";
  if (!activation.empty() && activation != "Relu" && activation != "Relu6" && activation != "Elu" &&
      activation != "Sigmoid" && activation != "Tanh") {
    throw Failure{"nicht unterstützte Aktivierung " + activation + " in " + name};
  }

  Node conv{name + "/conv", plainOp, {inputs[0], inputs[1]}, {}};
  Message dataFormat;
  for (const auto& [key, value] : attrs.items()) {
    if (key.starts_with("_") || key == "fused_ops" || key == "num_args" || key == "epsilon" ||
        key == "leakyrelu_alpha") {
      continue;
    }
    Message encoded;
    if (!attrValue(value, encoded)) continue;
    conv.attr(key, encoded);
    if (key == "data_format") dataFormat = encoded;
  }
  const std::string biasName = activation.empty() ? name : name + "/bias";
  Node bias{biasName, "BiasAdd", {conv.name, inputs[2]}, {}};
  bias.attr("T", typeAttr(dtFloat));
  if (attrs.contains("data_format")) bias.attr("data_format", dataFormat);
  out.push_back(std::move(conv));
  out.push_back(std::move(bias));
  if (!activation.empty()) {
    Node act{name, activation, {biasName}, {}};
    act.attr("T", typeAttr(dtFloat));
    out.push_back(std::move(act));
  }
}

std::string convert(const std::string& modelJson, const std::string& weightData,
                    const std::vector<std::string>& outputs) {
  const Json model = Json::parse(modelJson);
  const Json& nodes = model.at("modelTopology").at("node");
  const std::map<std::string, Weight> weights = readWeights(model.at("weightsManifest"), weightData);

  std::map<std::string, const Json*> byName;
  for (const Json& node : nodes) byName[node.at("name").get<std::string>()] = &node;

  std::set<std::string> needed;
  std::vector<std::string> pending(outputs.begin(), outputs.end());
  while (!pending.empty()) {
    const std::string name = producer(pending.back());
    pending.pop_back();
    if (!needed.insert(name).second) continue;
    auto found = byName.find(name);
    if (found == byName.end()) throw Failure{"Knoten fehlt: " + name};
    for (const Json& input : found->second->value("input", Json::array())) {
      pending.push_back(input.get<std::string>());
    }
  }

  std::vector<Node> converted;
  for (const Json& json : nodes) {
    const std::string name = json.at("name").get<std::string>();
    if (!needed.contains(name)) continue;
    const std::string op = json.at("op").get<std::string>();
    if (op == "Const") {
      auto weight = weights.find(name);
      if (weight == weights.end()) throw Failure{"Gewicht fehlt: " + name};
      converted.push_back(constNode(name, weight->second));
    } else if (op == "_FusedConv2D") {
      splitFused(json, "Conv2D", converted);
    } else if (op == "FusedDepthwiseConv2dNative") {
      splitFused(json, "DepthwiseConv2dNative", converted);
    } else {
      Node node{name, op, {}, {}};
      for (const Json& input : json.value("input", Json::array())) {
        if (!input.get<std::string>().starts_with("^")) node.inputs.push_back(input.get<std::string>());
      }
      const Json attrs = json.value("attr", Json::object());
      for (const auto& [key, value] : attrs.items()) {
        if (key.starts_with("_")) continue;
        Message encoded;
        if (attrValue(value, encoded)) node.attr(key, encoded);
      }
      converted.push_back(std::move(node));
    }
  }

  Message graph;
  for (const Node& node : converted) graph.message(field::graphNode, node.encode());
  Message versions;
  versions.varint(field::versionProducer, 1);
  graph.message(field::graphVersions, versions);
  return graph.data();
}

}  // namespace

ConvertedGraph convertGraphModel(const std::string& modelJson, const std::string& weights,
                                 const std::vector<std::string>& outputs) {
  ConvertedGraph result;
  try {
    result.graphDef = convert(modelJson, weights, outputs);
    result.ok = true;
  } catch (const Failure& failure) {
    result.error = failure.text;
  } catch (const std::exception& exception) {
    result.error = std::string("Modell nicht lesbar: ") + exception.what();
  }
  return result;
}

}  // namespace velmora::semantic
