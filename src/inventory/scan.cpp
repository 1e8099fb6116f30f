#include "inventory/scan.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

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

// What one asset gives: its record, and its warning when its bytes could not
// be read.
struct Outcome {
  bridge::Json record;
  std::optional<std::string> warning;
};

Outcome scanAsset(photos::PhotoLibrary& library, const photos::Asset& asset, unsigned long index,
                  const std::filesystem::path& folder, std::uint32_t owner) {
  // Everything made for one asset lives inside this call and is gone when it
  // returns; only its record stays.
  const std::string id = std::to_string(index);

  std::uint64_t size = 0;
  const std::optional<std::string> fingerprint = resourceHash(library, asset, size);
  const std::string name = assetName(asset);
  const photos::AssetAttributes attributes = library.attributes(asset);

  Outcome outcome;
  bridge::Json& record = outcome.record;
  record = {
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
    outcome.warning = name + bridge::messages::scanWarningSuffix;
  }
  return outcome;
}

// Hands out the assets in order. Taking an asset announces it: its progress
// line goes out under the same lock, so the lines stay in asset order and
// each one precedes its asset's work. After a failure nothing more is taken.
class Dispenser {
 public:
  Dispenser(unsigned long count, const bridge::Emitter& emit) : count_(count), emit_(emit) {}

  std::optional<unsigned long> take() {
    const std::lock_guard lock(mutex_);
    if (next_ >= count_ || failure_) return std::nullopt;
    const unsigned long index = next_++;
    emit_(bridge::progressMessage("Fotomediathek", index + 1, count_));
    return index;
  }

  // Keeps the failure of the earliest asset, which is the one a scan of one
  // asset at a time would have met.
  void fail(unsigned long index, std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (!failure_ || index < failedIndex_) {
      failure_ = std::move(error);
      failedIndex_ = index;
    }
  }

  std::exception_ptr failure() const { return failure_; }

 private:
  const unsigned long count_;
  const bridge::Emitter& emit_;
  std::mutex mutex_;
  unsigned long next_ = 0;
  std::exception_ptr failure_;
  unsigned long failedIndex_ = 0;
};

unsigned onlineProcessors() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace

int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit) {
  return scanAction(arguments, library, emit, onlineProcessors());
}

int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit, unsigned workers) {
  // Decoders allocate and free many large buffers on several threads. With
  // glibc's sliding mmap threshold those end up in the arenas and stay there
  // as fragments, so resident memory grows with the library (2,000 assets:
  // 860 MB). A fixed threshold hands every buffer of 1 MiB or more back to
  // the system when it is freed, which keeps a scan near one asset's peak
  // per worker.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);

  const std::filesystem::path folder = arguments.size() > 2 ? arguments[2] : std::string();
  const std::vector<photos::Asset> assets = library.fetchAll();
  const unsigned long count = assets.size();
  const std::uint32_t owner = ::getuid();

  // Each worker takes the next asset as soon as it is free, so reading one
  // asset's bytes overlaps with decoding another's; the outcomes are kept by
  // position and put together in asset order at the end.
  std::vector<Outcome> outcomes(count);
  Dispenser dispenser(count, emit);
  const auto work = [&] {
    while (const std::optional<unsigned long> index = dispenser.take()) {
      try {
        outcomes[*index] = scanAsset(library, assets[*index], *index, folder, owner);
      } catch (...) {
        dispenser.fail(*index, std::current_exception());
      }
    }
  };
  const unsigned long threads = std::min<unsigned long>(std::max(workers, 1U), count);
  if (threads <= 1) {
    work();
  } else {
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (unsigned long i = 0; i < threads; ++i) pool.emplace_back(work);
  }
  if (dispenser.failure()) std::rethrow_exception(dispenser.failure());

  bridge::Json items = bridge::Json::array();
  bridge::Json errors = bridge::Json::array();
  for (Outcome& outcome : outcomes) {
    items.push_back(std::move(outcome.record));
    if (outcome.warning) errors.push_back(std::move(*outcome.warning));
  }
  outcomes.clear();
  emit(bridge::Json{{"items", std::move(items)}, {"errors", std::move(errors)}});
  return 0;
}

}  // namespace velmora::inventory
