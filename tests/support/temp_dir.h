#pragma once
#include <filesystem>
#include <string>

namespace velmora::testing {

// A fresh folder under the system's temporary folder, removed with all its
// contents (read-only parts included) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `file`, creating parent folders.
void writeFile(const std::filesystem::path& file, const std::string& bytes);
std::string readFile(const std::filesystem::path& file);

// Where the shared sample files are; empty when they are not beside the repo.
std::filesystem::path testdata();
// A sample whose licence keeps it out of the project: from the sample
// folder, or from the shared collection beside the checkout. Empty when
// neither holds it.
std::filesystem::path outsideSample(const std::string& relative);

}  // namespace velmora::testing
