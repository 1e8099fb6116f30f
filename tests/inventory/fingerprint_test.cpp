#include "inventory/fingerprint.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include "support/fake_library.h"

namespace velmora::inventory {
namespace {

using testing::FakeLibrary;

std::string sha256Hex(const std::string& bytes) {
  Sha256Digest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return hex(digest);
}

const std::string emptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Fingerprint, HexKeepsLeadingZerosInLowerCase) {
  Sha256Digest digest{};
  digest[0] = 0x0a;
  digest[1] = 0xff;
  digest[31] = 0x01;
  const std::string text = hex(digest);
  EXPECT_EQ(text.size(), 64u);
  EXPECT_EQ(text.substr(0, 4), "0aff");
  EXPECT_EQ(text.substr(60), "0001");
  EXPECT_EQ(sha256Hex(""), emptySha);
}

TEST(Fingerprint, OneResourceHashesItsLineNotItsBytes) {
  FakeLibrary library;
  const auto& asset = library.add("a.jpg", 1, {{1, "public.jpeg", std::string("pixels")}});
  std::uint64_t size = 99;
  const auto fingerprint = resourceHash(library, asset, size);
  ASSERT_TRUE(fingerprint);
  EXPECT_EQ(*fingerprint, sha256Hex("1:public.jpeg:" + sha256Hex("pixels")));
  EXPECT_NE(*fingerprint, sha256Hex("pixels"));
  EXPECT_EQ(size, 6u);
}

TEST(Fingerprint, LinesSortByTypeStablyAndJoinWithoutTrailingNewline) {
  FakeLibrary library;
  const auto& asset = library.add("b.heic", 1,
                                  {{9, "com.apple.quicktime-movie", std::string("movie")},
                                   {2, "public.mpeg-4", std::string("")},
                                   {1, "public.heic", std::string("still")},
                                   {7, "com.adobe.xmp", std::string("x1")},
                                   {7, "com.apple.photos.apple-adjustment-envelope", std::string("x2")}});
  std::uint64_t size = 0;
  const auto fingerprint = resourceHash(library, asset, size);
  ASSERT_TRUE(fingerprint);
  const std::string input = "1:public.heic:" + sha256Hex("still") + "\n" +
                            "2:public.mpeg-4:" + emptySha + "\n" +
                            "7:com.adobe.xmp:" + sha256Hex("x1") + "\n" +
                            "7:com.apple.photos.apple-adjustment-envelope:" + sha256Hex("x2") +
                            "\n" + "9:com.apple.quicktime-movie:" + sha256Hex("movie");
  EXPECT_EQ(*fingerprint, sha256Hex(input));
  EXPECT_EQ(size, 5u + 0u + 5u + 2u + 2u);
  // Two calls on the unchanged asset agree.
  std::uint64_t again = 0;
  EXPECT_EQ(resourceHash(library, asset, again), fingerprint);
  EXPECT_EQ(again, size);
}

TEST(Fingerprint, StopsAtTheFirstMissingResource) {
  FakeLibrary library;
  const auto& asset = library.add("c.heic", 1,
                                  {{9, "com.apple.quicktime-movie", std::string("movie")},
                                   {2, "public.mpeg-4", std::nullopt},
                                   {1, "public.heic", std::string("still")}});
  std::uint64_t size = 0;
  EXPECT_FALSE(resourceHash(library, asset, size));
  EXPECT_EQ(size, 5u);  // the type-1 resource only
  EXPECT_EQ(library.readLog, (std::vector<std::string>{"c.heic#2", "c.heic#1"}));

  const auto& cloud = library.add("d.jpg", 1, {{1, "public.jpeg", std::nullopt}});
  EXPECT_FALSE(resourceHash(library, cloud, size));
  EXPECT_EQ(size, 0u);
}

TEST(Fingerprint, NoResourcesNoFingerprint) {
  FakeLibrary library;
  const auto& asset = library.add("e", 1, {});
  std::uint64_t size = 7;
  EXPECT_FALSE(resourceHash(library, asset, size));
  EXPECT_EQ(size, 0u);
}

}  // namespace
}  // namespace velmora::inventory
