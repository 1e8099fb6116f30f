#pragma once
// An in-memory photo library for unit tests of the actions.
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "bridge/photos/library.h"

namespace velmora::testing {

class FakeLibrary : public photos::PhotoLibrary {
 public:
  struct Entry {
    photos::Asset asset;
    photos::AssetAttributes attributes;
    std::optional<photos::RgbImage> preview;
  };

  bool granted = true;
  std::vector<Entry> entries;
  // Bytes per resource location; a location missing here cannot be read.
  std::map<std::string, std::string> contents;
  std::size_t chunkSize = 3;
  std::vector<std::string> readLog;  // locations in the order they were read
  photos::ChangeResult changeResult{true, std::nullopt};
  std::vector<std::vector<std::string>> deletions;  // identifiers per change
  std::size_t identifierLookups = 0;                 // calls of fetchByIdentifiers
  // What assetState() answers per identifier; none for the others.
  std::map<std::string, std::string> states;
  // Whether those states need the contents to vouch for them too.
  bool statesNeedContent = false;
  int imageRequests = 0;

  // Adds an asset whose resources are given as (type, uti, bytes or none).
  photos::Asset& add(const std::string& identifier, int mediaType,
                     const std::vector<std::tuple<long, std::string, std::optional<std::string>>>&
                         resources) {
    Entry entry;
    entry.asset.localIdentifier = identifier;
    entry.asset.mediaType = mediaType;
    int index = 0;
    for (const auto& [type, uti, bytes] : resources) {
      photos::Resource resource;
      resource.type = type;
      resource.uniformTypeIdentifier = uti;
      resource.originalFilename = identifier + "-" + std::to_string(index);
      resource.location = identifier + "#" + std::to_string(index++);
      if (bytes) contents[resource.location] = *bytes;
      entry.asset.resources.push_back(resource);
    }
    entries.push_back(entry);
    return entries.back().asset;
  }

  Entry* find(const std::string& identifier) {
    for (Entry& entry : entries) {
      if (entry.asset.localIdentifier == identifier) return &entry;
    }
    return nullptr;
  }

  bool authorize() override { return granted; }

  std::vector<photos::Asset> fetchAll() override {
    std::vector<photos::Asset> assets;
    for (const Entry& entry : entries) assets.push_back(entry.asset);
    return assets;
  }

  std::vector<photos::Asset> fetchByIdentifiers(const std::vector<std::string>& ids) override {
    ++identifierLookups;
    std::vector<photos::Asset> assets;
    for (const std::string& id : ids) {
      if (Entry* entry = find(id)) assets.push_back(entry->asset);
    }
    return assets;
  }

  photos::AssetAttributes attributes(const photos::Asset& asset) override {
    Entry* entry = find(asset.localIdentifier);
    return entry ? entry->attributes : photos::AssetAttributes{};
  }

  std::optional<std::string> assetState(const photos::Asset& asset) override {
    const auto state = states.find(asset.localIdentifier);
    if (state == states.end()) return std::nullopt;
    return state->second;
  }

  bool stateNeedsContent(const photos::Asset&) override { return statesNeedContent; }

  bool readResource(const photos::Resource& resource, const photos::ChunkHandler& onChunk) override {
    {
      // Scans read several assets at once.
      static std::mutex logMutex;
      const std::lock_guard lock(logMutex);
      readLog.push_back(resource.location);
    }
    auto it = contents.find(resource.location);
    if (it == contents.end()) return false;
    const std::string& bytes = it->second;
    for (std::size_t offset = 0; offset < bytes.size(); offset += chunkSize) {
      const std::size_t length = std::min(chunkSize, bytes.size() - offset);
      onChunk(std::span(reinterpret_cast<const std::byte*>(bytes.data() + offset), length));
    }
    return true;
  }

  std::optional<photos::RgbImage> requestImage(const photos::Asset& asset, std::uint32_t,
                                               std::uint32_t) override {
    {
      static std::mutex countMutex;
      const std::lock_guard lock(countMutex);
      ++imageRequests;
    }
    Entry* entry = find(asset.localIdentifier);
    return entry ? entry->preview : std::nullopt;
  }

  // Asks `recheck` first, as the disk library does under its lock.
  photos::ChangeResult deleteAssets(const std::vector<photos::Asset>& assets,
                                    const photos::ChangeCheck& recheck = {}) override {
    if (recheck) {
      if (std::optional<std::string> refusal = recheck()) return {false, std::move(refusal)};
    }
    std::vector<std::string> ids;
    for (const photos::Asset& asset : assets) ids.push_back(asset.localIdentifier);
    deletions.push_back(ids);
    if (changeResult.succeeded) {
      std::erase_if(entries, [&](const Entry& entry) {
        return std::find(ids.begin(), ids.end(), entry.asset.localIdentifier) != ids.end();
      });
    }
    return changeResult;
  }
};

}  // namespace velmora::testing
