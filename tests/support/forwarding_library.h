#pragma once
// A photo library that hands every call on to another one. Tests and fuzz
// targets derive from it and change only the calls they are about.
#include "bridge/photos/library.h"

namespace velmora::testing {

class ForwardingLibrary : public photos::PhotoLibrary {
 public:
  explicit ForwardingLibrary(photos::PhotoLibrary& real) : real_(real) {}

  bool authorize() override { return real_.authorize(); }
  std::vector<photos::Asset> fetchAll() override { return real_.fetchAll(); }
  std::vector<std::string> unreadableFolders() const override { return real_.unreadableFolders(); }
  bool containsFolder(const std::string& folder) const override {
    return real_.containsFolder(folder);
  }
  void finishInterruptedChange() override { real_.finishInterruptedChange(); }
  std::vector<photos::Asset> fetchByIdentifiers(const std::vector<std::string>& ids) override {
    return real_.fetchByIdentifiers(ids);
  }
  photos::AssetAttributes attributes(const photos::Asset& asset) override {
    return real_.attributes(asset);
  }
  std::optional<std::string> assetState(const photos::Asset& asset) override {
    return real_.assetState(asset);
  }
  bool stateNeedsContent(const photos::Asset& asset) override {
    return real_.stateNeedsContent(asset);
  }
  bool readResource(const photos::Resource& resource, const photos::ChunkHandler& onChunk) override {
    return real_.readResource(resource, onChunk);
  }
  std::optional<photos::RgbImage> requestImage(const photos::Asset& asset, std::uint32_t width,
                                               std::uint32_t height) override {
    return real_.requestImage(asset, width, height);
  }
  photos::ChangeResult deleteAssets(const std::vector<photos::Asset>& assets,
                                    const photos::ChangeCheck& recheck = {}) override {
    return real_.deleteAssets(assets, recheck);
  }

 protected:
  photos::PhotoLibrary& real_;
};

}  // namespace velmora::testing
