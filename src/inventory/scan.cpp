#include "inventory/scan.h"

#include <malloc.h>
#include <unistd.h>

#include <filesystem>

#include "bridge/messages.h"
#include "inventory/fingerprint.h"
#include "inventory/thumbnail.h"

namespace velmora::inventory {

namespace {

// The first listed resource's file name; the identifier when there is none.
// An empty file name is still a file name.
std::string assetName(const photos::Asset& asset) {
  if (!asset.resources.empty() && asset.resources.front().originalFilename) {
    return *asset.resources.front().originalFilename;
  }
  return asset.localIdentifier;
}

}  // namespace

int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit) {
  // Decoders allocate and free many large buffers on several threads. With
  // glibc's sliding mmap threshold those end up in the arenas and stay there
  // as fragments, so resident memory grows with the library (2,000 assets:
  // 860 MB). A fixed threshold hands every buffer of 1 MiB or more back to
  // the system when it is freed, which keeps a scan near one asset's peak.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);

  const std::filesystem::path folder = arguments.size() > 2 ? arguments[2] : std::string();
  const std::vector<photos::Asset> assets = library.fetchAll();
  const unsigned long count = assets.size();
  const std::uint32_t owner = ::getuid();

  bridge::Json items = bridge::Json::array();
  bridge::Json errors = bridge::Json::array();
  for (unsigned long index = 0; index < count; ++index) {
    // Everything made for one asset lives inside this block and is gone
    // before the next one starts; only its record stays.
    const photos::Asset& asset = assets[index];
    emit(bridge::progressMessage("Fotomediathek", index + 1, count));
    const std::string id = std::to_string(index);

    std::uint64_t size = 0;
    const std::optional<std::string> fingerprint = resourceHash(library, asset, size);
    const std::string name = assetName(asset);
    const photos::AssetAttributes attributes = library.attributes(asset);

    bridge::Json record = {
        {"id", id},
        {"asset_id", asset.localIdentifier},
        {"path", "Fotos / " + name},
        {"name", name},
        {"size", static_cast<std::int64_t>(size)},
        {"owner", owner},
        {"video", asset.mediaType == photos::mediaTypeVideo ? 1 : 0},
        {"screenshot", (attributes.mediaSubtypes & photos::mediaSubtypeScreenshot) != 0 ? 1 : 0},
        {"width", attributes.pixelWidth},
        {"height", attributes.pixelHeight},
        {"favorite", attributes.isFavorite},
        {"created", attributes.creationDate.value_or(0.0)},
    };
    record.update(thumbnail(library, asset, folder / (id + ".jpg")));
    if (asset.mediaType != photos::mediaTypeImage) record.erase("dhash_string");

    record["size_known"] = fingerprint ? 1 : 0;
    if (fingerprint) {
      record["hash"] = *fingerprint;
    } else {
      errors.push_back(name + bridge::messages::scanWarningSuffix);
    }
    items.push_back(std::move(record));
  }
  emit(bridge::Json{{"items", std::move(items)}, {"errors", std::move(errors)}});
  return 0;
}

}  // namespace velmora::inventory
