#pragma once
#include <filesystem>
#include <string>

namespace velmora::testing {

// The detector as the set-up script fetched it (JSON with its weights file
// beside it); empty when it is not there.
inline std::filesystem::path fetchedModel() {
#ifdef VELMORA_MODEL_SOURCE
  const std::filesystem::path json = VELMORA_MODEL_SOURCE;
  if (std::filesystem::is_regular_file(json) &&
      std::filesystem::is_regular_file(json.parent_path() / "centernet.bin")) {
    return json;
  }
#endif
  return {};
}

// The converted model the build put beside the bridge; empty when absent.
inline std::filesystem::path convertedModel() {
  const auto file = std::filesystem::path(VELMORA_BRIDGE_EXE).parent_path() / "velmora-bridge-objects.pb";
  return std::filesystem::is_regular_file(file) ? file : std::filesystem::path();
}

// Sample photos of the Debian package `darknet`, empty when not installed.
inline std::filesystem::path darknetPhotos() {
  const std::filesystem::path dir = "/usr/share/darknet/data";
  return std::filesystem::is_regular_file(dir / "eagle.jpg") ? dir : std::filesystem::path();
}

}  // namespace velmora::testing
