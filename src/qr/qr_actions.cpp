#include "qr/qr_actions.h"

#include <dirent.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qr/detector.h"
#include "qr/image_file.h"

namespace velmora::qr {

namespace {

// The QR answer for one file, with the flag of that very detection. The
// decoded image lives only inside this call.
bridge::Json checkFile(const std::string& path) {
  bool found = false;
  {
    const std::optional<LumaImage> image = loadLuma(path);
    found = hasQR(image ? &*image : nullptr);
  }
  return bridge::Json{{"qr", found}, {"qr_checked", qrAvailable}};
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
  const std::string& folder = arguments.at(2);
  const std::vector<std::string> names = listFolder(folder);
  const unsigned long total = names.size();
  unsigned long position = 0;
  bridge::Json items = bridge::Json::array();
  for (const std::string& name : names) {
    // Only the last extension counts, and only exactly "jpg": JPG and jpeg
    // do not qualify. A name that is nothing but ".jpg" has no extension.
    const std::filesystem::path entry(name);
    if (entry.extension() != ".jpg") continue;
    emit(bridge::progressMessage("QR-Prüfung", ++position, total));
    bridge::Json record = checkFile((std::filesystem::path(folder) / entry).string());
    record["id"] = entry.stem().string();
    items.push_back(std::move(record));
  }
  emit(bridge::Json{{"items", std::move(items)}});
  return 0;
}

}  // namespace velmora::qr
