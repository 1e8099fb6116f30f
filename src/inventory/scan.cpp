#include "inventory/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

#include <vips/vips.h>

#include "bridge/messages.h"
#include "base/deadline.h"
#include "base/heap_reuse.h"
#include "base/ordered_work.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "inventory/fingerprint.h"
#include "inventory/preview_record.h"
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

Outcome outcomeFor(const photos::Asset& asset, const std::string& id, std::uint32_t owner,
                   const AssetFindings& findings) {
  const std::string name = assetName(asset);
  const photos::AssetAttributes& attributes = findings.attributes;
  Outcome outcome;
  bridge::Json& record = outcome.record;
  record = {
      {"id", id},
      {"asset_id", asset.localIdentifier},
      {"path", "Fotos / " + name},
      {"name", name},
      {"size", static_cast<std::int64_t>(findings.size)},
      {"owner", owner},
      {"video", asset.mediaType == photos::mediaTypeVideo ? 1 : 0},
      {"screenshot", (attributes.mediaSubtypes & photos::mediaSubtypeScreenshot) != 0 ? 1 : 0},
      {"width", attributes.pixelWidth},
      {"height", attributes.pixelHeight},
      {"favorite", attributes.isFavorite},
      {"created", attributes.creationDate.value_or(0.0)},
  };
  record.update(findings.preview);
  if (asset.mediaType != photos::mediaTypeImage) record.erase("dhash_string");

  record["size_known"] = findings.fingerprint ? 1 : 0;
  if (findings.fingerprint) {
    record["hash"] = *findings.fingerprint;
  } else {
    outcome.warning = name + bridge::messages::scanWarningSuffix;
  }
  return outcome;
}

// The preview folder, open; none for an empty path (that would be the
// current folder) and for a folder of the pictures folder, one inside it or
// one holding it (library.containsFolder), where the previews would
// replace the user's own pictures of the same names.
base::UniqueFd openPreviewFolder(const std::string& path, const photos::PhotoLibrary& library) {
  if (path.empty()) return base::UniqueFd();
  base::UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid() || library.containsFolder(base::descriptorPath(folder.get()))) {
    return base::UniqueFd();
  }
  return folder;
}

// The number N of a preview name "N.jpg", as this scan writes them.
std::optional<unsigned long> previewNumber(std::string_view name) {
  if (!name.ends_with(".jpg")) return std::nullopt;
  name.remove_suffix(4);
  if (name.empty() || name.size() > 19 || (name.size() > 1 && name.front() == '0')) {
    return std::nullopt;
  }
  unsigned long number = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  return number;
}

// The scan owns the names N.jpg of its preview folder: those of numbers
// past this library's end showed assets of an earlier, larger library, and
// go when this bridge wrote them and nobody changed them since.
void removeStalePreviews(int folder, unsigned long count, PreviewRecord& record) {
  const int own = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return;
  DIR* dir = ::fdopendir(own);
  if (dir == nullptr) {
    ::close(own);
    return;
  }
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::optional<unsigned long> number = previewNumber(entry->d_name);
    if (number && *number >= count) stale.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) record.removeIfOwn(name);
}

// Only what a later scan would find again is kept: every file read to its
// end (a rating that could not be read included), a preview with its file's bytes and a confirmed QR answer, and no
// decoder given up on its deadline. A failure that might pass (a file not
// on this computer yet, memory, a busy machine) is never kept as the answer.
bool worthKeeping(const AssetFindings& findings, base::Clock::duration took) {
  const bridge::Json& preview = findings.preview;
  return findings.fingerprint && !findings.attributes.favoriteUnknown && findings.previewJpeg &&
         !preview.empty() && preview.value("qr_checked", false) && took < base::fileTimeLimit();
}

// Notes the preview file written for the asset; without one, a file of its
// name that an earlier scan wrote showed whatever asset had this number
// then, and goes.
void notePreview(PreviewRecord& record, const std::filesystem::path& preview,
                 const std::optional<base::FileIdentity>& written) {
  if (preview.empty()) return;
  const std::string name = preview.filename().string();
  if (written) {
    record.wrote(name, *written);
  } else {
    record.removeIfOwn(name);
  }
}

Outcome scanAsset(photos::PhotoLibrary& library, const photos::Asset& asset, unsigned long index,
                  const std::filesystem::path& folder, std::uint32_t owner, ScanCache* cache,
                  PreviewRecord& record) {
  // Everything made for one asset lives inside this call and is gone when it
  // returns; only its record stays.
  const std::string id = std::to_string(index);
  const std::filesystem::path preview = folder.empty() ? folder : folder / (id + ".jpg");

  // Taken before anything is read: a file that changes while it is read
  // leaves the state after the reads different, and nothing is kept.
  const std::optional<std::string> state =
      cache != nullptr ? library.assetState(asset) : std::nullopt;
  AssetFindings findings;
  std::optional<std::string> key = state;
  // Where the files' times cannot vouch for their bytes, the bytes are
  // read and their fingerprint is part of what must match: only the
  // decoding is saved.
  const bool contentChecked = state && library.stateNeedsContent(asset);
  if (contentChecked) {
    findings.fingerprint = resourceHash(library, asset, findings.size);
    if (findings.fingerprint) {
      *key += "content " + *findings.fingerprint + "\n";
    } else {
      key.reset();
    }
  }
  if (key) {
    if (const std::optional<AssetFindings> kept = cache->find(asset.localIdentifier, *key)) {
      notePreview(record, preview, placePreview(preview, kept->previewJpeg));
      return outcomeFor(asset, id, owner, *kept);
    }
  }

  const base::Clock::time_point started = base::Clock::now();
  if (!contentChecked) findings.fingerprint = resourceHash(library, asset, findings.size);
  findings.attributes = library.attributes(asset);
  std::optional<base::FileIdentity> written;
  findings.preview = thumbnail(library, asset, preview, &findings.previewJpeg, &written);
  notePreview(record, preview, written);
  if (key && worthKeeping(findings, base::Clock::now() - started) &&
      library.assetState(asset) == state) {
    // There the bytes are read once more: a change between the fingerprint
    // and the decoding that kept size and times must not be kept under the
    // fingerprint of the bytes before it.
    std::uint64_t size = 0;
    if (!contentChecked || resourceHash(library, asset, size) == findings.fingerprint) {
      cache->keep(asset.localIdentifier, *key, findings);
    }
  }
  return outcomeFor(asset, id, owner, findings);
}

}  // namespace

int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit) {
  return scanAction(arguments, library, emit, base::onlineProcessors());
}

int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit, unsigned workers) {
  return scanAction(arguments, library, emit, workers, nullptr);
}

int scanAction(const bridge::Arguments& arguments, photos::PhotoLibrary& library,
               const bridge::Emitter& emit, unsigned workers, ScanCache* cache) {
  // Every asset needs about the buffers the one before needed: they are
  // kept for reuse rather than handed back and faulted in again, and what
  // is kept is bounded after each asset (a large one, or decoding in this
  // process, leaves more).
  base::keepFreedMemory();

  // Written through the descriptor's name, so that the folder checked is the
  // folder written to, whatever happens to its path meanwhile.
  const base::UniqueFd previewFolder =
      openPreviewFolder(arguments.size() > 2 ? arguments[2] : std::string(), library);
  const std::filesystem::path folder =
      previewFolder.valid() ? base::descriptorPath(previewFolder.get()) : std::string();
  PreviewRecord record(previewFolder.get());
  const std::vector<photos::Asset> assets = library.fetchAll();
  const unsigned long count = assets.size();
  const std::uint32_t owner = ::getuid();

  // Each worker takes the next asset as soon as it is free, so reading one
  // asset's bytes overlaps with decoding another's. Taking an asset announces
  // it, and the records are put together in asset order.
  bridge::Json items = bridge::Json::array();
  bridge::Json errors = bridge::Json::array();
  for (const std::string& unreadable : library.unreadableFolders()) {
    errors.push_back(unreadable + "/" + bridge::messages::unreadableFolderSuffix);
  }
  base::OrderedJob<Outcome> job;
  job.taken = [&](std::size_t index) {
    emit(bridge::progressMessage("Fotomediathek", index + 1, count));
  };
  job.work = [&](unsigned, std::size_t index) {
    Outcome outcome = scanAsset(library, assets[index], index, folder, owner, cache, record);
    base::releaseSpareMemory();
    return outcome;
  };
  job.done = [&](std::size_t, Outcome&& outcome) {
    items.push_back(std::move(outcome.record));
    if (outcome.warning) errors.push_back(std::move(*outcome.warning));
    return true;
  };
  const unsigned threads = static_cast<unsigned>(std::clamp<unsigned long>(workers, 1, std::max(count, 1UL)));
  // Each pipeline gets its share of the processors, so the workers do not
  // crowd each other out with libvips' own threads.
  if (base::ensureVips()) {
    vips_concurrency_set(static_cast<int>(std::max(1U, base::onlineProcessors() / threads)));
  }
  base::runInOrder(count, threads, job);
  if (previewFolder.valid()) {
    removeStalePreviews(previewFolder.get(), count, record);
    record.save();
  }
  if (cache != nullptr) cache->forgetTheRest();

  emit(bridge::Json{{"items", std::move(items)}, {"errors", std::move(errors)}});
  return 0;
}

}  // namespace velmora::inventory
