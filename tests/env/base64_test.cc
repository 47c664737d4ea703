#include "env/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tessaly {
namespace {

using std::string_literals::operator""s;

TEST(Base64Test, EncodeMatchesRfc4648) {
  // RFC 4648 section 10 test vectors, plus bytes outside ASCII.
  const struct {
    std::string bytes;
    std::string encoded;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\x00"s, "AA=="},
      {"\xFF\xFF\xFF", "////"},
      {"\xFB\xEF", "++8="},
      {"p\xE4ss w\xF6rd", "cORzcyB39nJk"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Encode(c.bytes), c.encoded) << c.encoded;
    EXPECT_EQ(Base64Decode(c.encoded), c.bytes) << c.encoded;
  }
}

TEST(Base64Test, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (size_t len = 0; len <= 5; ++len) {
    const std::string bytes = all.substr(256 - len) + all;
    const std::string encoded = Base64Encode(bytes);
    EXPECT_EQ(encoded.size(), (bytes.size() + 2) / 3 * 4) << len;
    EXPECT_EQ(Base64Decode(encoded), bytes) << len;
  }
}

TEST(Base64Test, LenientDecode) {
  const struct {
    const char* name;
    std::string text;
    std::string want;
  } cases[] = {
      {"padding removed, 2 mod 4", "Zm9vYg", "foob"},
      {"padding removed, 3 mod 4", "Zm9vYmE", "fooba"},
      {"trailing single symbol yields nothing", "Zm9vY", "foo"},
      {"lone symbol", "Q", ""},
      {"padded groups side by side", "Zg==Zm8=", "f" "fo"},
      {"equals ends only its group", "Zg=xZm9v", "ffoo"},
      {"foreign byte reads as 0 in place", "Zm-v", "f\x60\x2F"},
      // "\nYmF" is read as a group and the lone "y" tail yields nothing.
      {"line break shifts later symbols", "Zm9v\nYmFy", "foo\x01\x89\x85"},
      {"space inside a group", "Zm 9", "f\x60\x3D"},
      {"url-safe symbols are foreign", "__8=", "\x00\x0F"s},
      {"equals at place 1 gives nothing", "Z===", ""},
      {"equals at place 2 gives one byte", "Zm=v", "f"},
      {"equals at place 3 gives two bytes", "Zm9=", "fo"},
      {"high byte read as foreign", "Zm\xC4v", "f\x60\x2F"},
      {"NUL read as foreign", "Zm\x00v"s, "f\x60\x2F"},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> got = Base64Decode(c.text);
    ASSERT_TRUE(got.has_value()) << c.name;
    EXPECT_EQ(*got, c.want) << c.name;
  }
}

TEST(Base64Test, GroupStartingWithEqualsFails) {
  const char* cases[] = {"=", "====", "=AAA", "Zm9v=", "Zm9v====", "Zg==="};
  for (const char* text : cases) {
    EXPECT_EQ(Base64Decode(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace tessaly
