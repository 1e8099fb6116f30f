#include "qr/qr_actions.h"

#include <dirent.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/ordered_work.h"
#include "qr/detector.h"
#include "qr/image_file.h"

namespace velmora::qr {

namespace {

// The QR answer for one file, with the flag of that very detection. The
// decoded image lives only inside this call.
bridge::Json checkFile(const std::string& path) {
  QrResult result;
  {
    const std::optional<LumaImage> image = loadLuma(path);
    result = detectQR(image ? &*image : nullptr);
  }
  return bridge::Json{{"qr", result.found}, {"qr_checked", result.checked}};
}

// The folder's entry names in the order the file system lists them (not
// sorted), without "." and "..". Nothing when the folder cannot be listed.
std::vector<std::string> listFolder(const std::string& folder) {
  std::vector<std::string> names;
  const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(folder.c_str()), ::closedir);
  if (!directory) return names;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

}  // namespace

int qrAction(const bridge::Arguments& arguments, const bridge::Emitter& emit) {
  emit(checkFile(arguments.at(2)));
  return 0;
}

int qrFolderAction(const bridge::Arguments& arguments, const bridge::Emitter& emit) {
  return qrFolderAction(arguments, emit, base::onlineProcessors());
}

int qrFolderAction(const bridge::Arguments& arguments, const bridge::Emitter& emit,
                   unsigned workers) {
  const std::string& folder = arguments.at(2);
  const std::vector<std::string> names = listFolder(folder);
  // Only the last extension counts, and only exactly "jpg": JPG and jpeg
  // do not qualify. A name that is nothing but ".jpg" has no extension.
  std::vector<std::filesystem::path> pictures;
  for (const std::string& name : names) {
    std::filesystem::path entry(name);
    if (entry.extension() == ".jpg") pictures.push_back(std::move(entry));
  }

  // One picture per worker at a time; the progress line goes out when a
  // picture is taken, the records stay in listing order.
  const unsigned long total = names.size();
  bridge::Json items = bridge::Json::array();
  base::OrderedJob<bridge::Json> job;
  job.taken = [&](std::size_t index) {
    emit(bridge::progressMessage("QR-Prüfung", index + 1, total));
  };
  job.work = [&](unsigned, std::size_t index) {
    bridge::Json record = checkFile((std::filesystem::path(folder) / pictures[index]).string());
    record["id"] = pictures[index].stem().string();
    return record;
  };
  job.done = [&](std::size_t, bridge::Json&& record) {
    items.push_back(std::move(record));
    return true;
  };
  base::runInOrder(pictures.size(), workers, job);
  emit(bridge::Json{{"items", std::move(items)}});
  return 0;
}

}  // namespace velmora::qr
