// Build-time tool: converts the TensorFlow.js detector the set-up script
// fetched into the GraphDef file the bridge loads.
//   velmora-convert-model <model.json> <output.pb>
// The weights files named in the model's manifest are read from the JSON's
// folder. The output is replaced atomically; the exit status tells success.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "base/regular_file.h"
#include "semantic/graph_model.h"
#include "semantic/object_classifier.h"

namespace {

bool readWhole(const std::filesystem::path& file, std::string& out) {
  return velmora::base::readRegularFile(file.string(), out, std::uintmax_t{1} << 31);
}

int fail(const std::string& text) {
  std::fprintf(stderr, "velmora-convert-model: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: velmora-convert-model <model.json> <output.pb>");
  const std::filesystem::path modelFile = argv[1];
  const std::filesystem::path output = argv[2];

  std::string modelJson;
  if (!readWhole(modelFile, modelJson)) return fail("cannot read " + modelFile.string());
  std::string weights;
  try {
    const nlohmann::json model = nlohmann::json::parse(modelJson);
    for (const auto& group : model.at("weightsManifest")) {
      for (const auto& path : group.at("paths")) {
        std::string part;
        const auto file = modelFile.parent_path() / path.get<std::string>();
        if (!readWhole(file, part)) return fail("cannot read " + file.string());
        weights += part;
      }
    }
  } catch (const std::exception& exception) {
    return fail(std::string("bad model file: ") + exception.what());
  }

  const auto converted = velmora::semantic::convertGraphModel(
      modelJson, weights, velmora::semantic::detectorOutputs());
  if (!converted.ok) return fail(converted.error);

  const auto temporary = output.string() + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(converted.graphDef.data(), static_cast<std::streamsize>(converted.graphDef.size()));
    if (!out.flush()) return fail("cannot write " + temporary);
  }
  std::error_code error;
  std::filesystem::rename(temporary, output, error);
  if (error) return fail("cannot write " + output.string() + ": " + error.message());
  return 0;
}
