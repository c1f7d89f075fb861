// The codec against RFC 4648's own vectors, every way strict reading can refuse
// a text, and round trips over every length that exercises each tail shape.
#include "document/base64.h"

#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>

#include "support/reference.h"

namespace brevane {
namespace {

using namespace std::string_literals;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string random_bytes(std::size_t n, std::mt19937& rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(rng));
  return bytes;
}

struct Vector {
  std::string_view bytes;
  std::string_view text;
};

// RFC 4648 section 10, plus the bytes that use the last two letters and zeros.
constexpr auto kVectors = std::to_array<Vector>({
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xFB\xFF\xBF", "+/+/"},
    {"\xFF\xFF\xFF", "////"},
    {std::string_view("\0\0\0", 3), "AAAA"},
    {"ABC", "QUJD"},
    {"AB", "QUI="},
    {"A", "QQ=="},
});

TEST(Base64Encode, KnownVectors) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(support::base64_text(v.bytes), v.text) << v.text;
    EXPECT_EQ(base64_encoded_length(v.bytes.size()), v.text.size()) << v.text;
  }
}

TEST(Base64EncodeTo, WritesExactlyTheEncodedLength) {
  for (const Vector& v : kVectors) {
    // Guard bytes on both sides catch a write past either end of the slot.
    std::string buffer(v.text.size() + 2, '#');
    base64_encode_to(v.bytes, buffer.data() + 1);
    std::string expected = "#";
    expected.append(v.text).push_back('#');
    EXPECT_EQ(buffer, expected) << v.text;
  }
}

TEST(Base64Decode, KnownVectors) {
  for (const Vector& v : kVectors) {
    EXPECT_TRUE(base64_valid(v.text)) << v.text;
    const auto bytes = base64_decode(v.text);
    ASSERT_TRUE(bytes.has_value()) << v.text;
    EXPECT_EQ(*bytes, v.bytes) << v.text;
  }
}

// Each text is refused by both the validator and the decoder.
constexpr auto kInvalid = std::to_array<std::string_view>({
    "QUI",         // length 3
    "Q",           // length 1
    "QUJDQ",       // length 5
    "QUJ=",        // bits under the padding are not zero
    "QR==",        // the same, in the "==" form
    "QUJD====",    // a whole group of padding
    "====",        // padding only
    "Q===",        // three "="
    "=QUJ",        // "=" first
    "Q=JD",        // "=" second
    "QU=D",        // data after "="
    "QQ==QUJD",    // padding before the last group
    "QUI=QUJD",    // the same, one "="
    "QUJD\nRUZH",  // line break inside
    "QUJD\r\nRU",  // CRLF inside, length a multiple of 4
    "\vQUJ",       // VT is no whitespace and no data
    "QU D",        // space inside
    "QUJ-",        // URL-safe letters
    "QUJ_",
    "-_-_",
    "QUJ\xC3",  // non-ASCII
    "\xEF\xBF\xBD=",
    "QUJ.",
    "QU*D",
});

TEST(Base64Valid, RejectsEveryNonCanonicalText) {
  for (const std::string_view text : kInvalid) {
    EXPECT_FALSE(base64_valid(text)) << text;
    EXPECT_FALSE(base64_decode(text).has_value()) << text;
  }
  const std::string with_nul("QU\0D", 4);
  EXPECT_FALSE(base64_valid(with_nul));
  EXPECT_FALSE(base64_decode(with_nul).has_value());
}

// Every byte value in the fourth position of a group: only the alphabet is data,
// and "=" only where it closes the text.
TEST(Base64Valid, EveryByteInTheLastPosition) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool data = kAlphabet.find(c) != std::string_view::npos;
    const std::string last = "AAA"s + c;
    EXPECT_EQ(base64_valid(last), data || c == '=') << b;
    EXPECT_EQ(base64_decode(last).has_value(), data || c == '=') << b;
    const std::string inner = "AAA"s + c + "AAAA";
    EXPECT_EQ(base64_valid(inner), data) << b;
    EXPECT_EQ(base64_decode(inner).has_value(), data) << b;
  }
}

// In "x?==" the low 4 bits of "?" fall under the padding, in "xx?=" the low 2.
TEST(Base64Valid, LeftoverBitsMustBeZero) {
  for (std::size_t value = 0; value < kAlphabet.size(); ++value) {
    const char c = kAlphabet[value];
    EXPECT_EQ(base64_valid("Q"s + c + "=="), value % 16 == 0) << c;
    EXPECT_EQ(base64_valid("QU"s + c + "="), value % 4 == 0) << c;
    EXPECT_EQ(base64_decode("Q"s + c + "==").has_value(), value % 16 == 0) << c;
    EXPECT_EQ(base64_decode("QU"s + c + "=").has_value(), value % 4 == 0) << c;
  }
}

TEST(Base64RoundTrip, EveryLengthUpTo64) {
  std::mt19937 rng(4648);
  for (std::size_t n = 0; n <= 64; ++n) {
    const std::string bytes = random_bytes(n, rng);
    const std::string text = support::base64_text(bytes);
    ASSERT_EQ(text.size(), base64_encoded_length(n));
    EXPECT_EQ(text.size() % 4, 0U);
    EXPECT_EQ(text.find_first_not_of(std::string(kAlphabet) + "="), std::string::npos);
    EXPECT_TRUE(base64_valid(text)) << n;
    EXPECT_EQ(base64_decode(text), bytes) << n;
  }
}

TEST(Base64RoundTrip, RandomStoresAndAllByteValues) {
  std::mt19937 rng(20240601);
  std::uniform_int_distribution<std::size_t> length(0, 4096);
  for (int round = 0; round < 200; ++round) {
    const std::string bytes = random_bytes(length(rng), rng);
    EXPECT_EQ(base64_decode(support::base64_text(bytes)), bytes);
  }
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  EXPECT_EQ(base64_decode(support::base64_text(every)), every);
}

}  // namespace
}  // namespace brevane
