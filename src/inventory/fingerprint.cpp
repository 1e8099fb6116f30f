#include "inventory/fingerprint.h"

#include <algorithm>
#include <memory>

#include <openssl/evp.h>

namespace velmora::inventory {

namespace {

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

}  // namespace

std::string hex(const Sha256Digest& digest) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0f]);
  }
  return text;
}

std::string resourceLine(const photos::Resource& resource, const Sha256Digest& digest) {
  return std::to_string(resource.type) + ":" + resource.uniformTypeIdentifier + ":" + hex(digest);
}

std::optional<std::string> resourceHash(photos::PhotoLibrary& library, const photos::Asset& asset,
                                        std::uint64_t& size) {
  size = 0;
  std::vector<const photos::Resource*> sorted;
  sorted.reserve(asset.resources.size());
  for (const photos::Resource& resource : asset.resources) sorted.push_back(&resource);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const photos::Resource* a, const photos::Resource* b) { return a->type < b->type; });

  std::string input;
  for (const photos::Resource* resource : sorted) {
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
    std::uint64_t bytes = 0;
    bool hashingFailed = false;
    const bool complete = library.readResource(*resource, [&](std::span<const std::byte> chunk) {
      if (EVP_DigestUpdate(context.get(), chunk.data(), chunk.size()) != 1) hashingFailed = true;
      bytes += chunk.size();
    });
    if (!complete || hashingFailed) return std::nullopt;
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return std::nullopt;
    size += bytes;
    if (!input.empty()) input.push_back('\n');
    input += resourceLine(*resource, digest);
  }
  if (sorted.empty()) return std::nullopt;

  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  return hex(digest);
}

}  // namespace velmora::inventory
