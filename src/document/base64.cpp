// The module's own Base64 codec. The writer is what embedding puts into a page,
// so it never emits line breaks; the reader is what extraction trusts, so it
// accepts one spelling per byte string and nothing else: no whitespace, no
// URL-safe letters, no missing or surplus padding, no stray bits under the
// padding. It never allocates more than the one output it returns.
#include "document/base64.h"

#include <array>
#include <cstddef>

namespace brevane {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(kAlphabet.size() == 64);

// Values of 0x80 and above mark bytes that are no data character, so one OR over
// a group's four lookups rejects the whole group with a single branch.
constexpr std::uint8_t kInvalid = 0x80;
constexpr std::uint8_t kPad = 0x81;

constexpr std::array<std::uint8_t, 256> make_decode_table() noexcept {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = kInvalid;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  table['='] = kPad;
  return table;
}
constexpr std::array<std::uint8_t, 256> kDecode = make_decode_table();

constexpr std::uint32_t value_of(char c) noexcept { return kDecode[static_cast<unsigned char>(c)]; }

// How many bytes the text decodes to, or nothing when its length or the shape of
// its padding already rules it out. Only the last group may hold "=", as "xx=="
// or "xxx="; the data characters and the leftover bits are judged by the walk.
std::optional<std::uint64_t> decoded_length(std::string_view text) noexcept {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return 0;
  const std::uint64_t full = text.size() / 4 * 3;
  const bool pad3 = text[text.size() - 1] == '=';
  const bool pad2 = text[text.size() - 2] == '=';
  if (pad2 && !pad3) return std::nullopt;  // "xx=x": a data character after "="
  return full - (pad2 ? 1 : 0) - (pad3 ? 1 : 0);
}

// Walks every group; writes the bytes only when `out` is given, so validation and
// decoding can never disagree about what is valid. `text` has passed
// decoded_length, so its size is a non-zero multiple of 4.
bool walk_groups(std::string_view text, char* out) noexcept {
  const std::size_t last = text.size() - 4;
  for (std::size_t i = 0; i < last; i += 4) {
    const std::uint32_t a = value_of(text[i]);
    const std::uint32_t b = value_of(text[i + 1]);
    const std::uint32_t c = value_of(text[i + 2]);
    const std::uint32_t d = value_of(text[i + 3]);
    // "=" in any group but the last fails here too: kPad has the high bit set.
    if (((a | b | c | d) & kInvalid) != 0) return false;
    if (out != nullptr) {
      const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
      *out++ = static_cast<char>(bits >> 16);
      *out++ = static_cast<char>(bits >> 8 & 0xFF);
      *out++ = static_cast<char>(bits & 0xFF);
    }
  }
  const std::uint32_t a = value_of(text[last]);
  const std::uint32_t b = value_of(text[last + 1]);
  const std::uint32_t c = value_of(text[last + 2]);
  const std::uint32_t d = value_of(text[last + 3]);
  // "=" in the first two positions, or three or four of them, fails here.
  if (((a | b) & kInvalid) != 0) return false;
  if (c == kPad) {
    if (d != kPad || (b & 0x0F) != 0) return false;
    if (out != nullptr) *out = static_cast<char>(a << 2 | b >> 4);
    return true;
  }
  if ((c & kInvalid) != 0) return false;
  if (d == kPad) {
    if ((c & 0x03) != 0) return false;
    if (out != nullptr) {
      const std::uint32_t bits = a << 18 | b << 12 | c << 6;
      out[0] = static_cast<char>(bits >> 16);
      out[1] = static_cast<char>(bits >> 8 & 0xFF);
    }
    return true;
  }
  if ((d & kInvalid) != 0) return false;
  if (out != nullptr) {
    const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
    out[0] = static_cast<char>(bits >> 16);
    out[1] = static_cast<char>(bits >> 8 & 0xFF);
    out[2] = static_cast<char>(bits & 0xFF);
  }
  return true;
}

}  // namespace

void base64_encode_to(std::string_view bytes, char* out) noexcept {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t whole = bytes.size() - bytes.size() % 3;
  for (std::size_t i = 0; i < whole; i += 3) {
    const std::uint32_t bits = static_cast<std::uint32_t>(in[i]) << 16 |
                               static_cast<std::uint32_t>(in[i + 1]) << 8 | in[i + 2];
    out[0] = kAlphabet[bits >> 18];
    out[1] = kAlphabet[bits >> 12 & 0x3F];
    out[2] = kAlphabet[bits >> 6 & 0x3F];
    out[3] = kAlphabet[bits & 0x3F];
    out += 4;
  }
  switch (bytes.size() - whole) {
    case 1: {
      const std::uint32_t bits = static_cast<std::uint32_t>(in[whole]) << 16;
      out[0] = kAlphabet[bits >> 18];
      out[1] = kAlphabet[bits >> 12 & 0x3F];
      out[2] = '=';
      out[3] = '=';
      break;
    }
    case 2: {
      const std::uint32_t bits = static_cast<std::uint32_t>(in[whole]) << 16 |
                                 static_cast<std::uint32_t>(in[whole + 1]) << 8;
      out[0] = kAlphabet[bits >> 18];
      out[1] = kAlphabet[bits >> 12 & 0x3F];
      out[2] = kAlphabet[bits >> 6 & 0x3F];
      out[3] = '=';
      break;
    }
    default:
      break;
  }
}

bool base64_valid(std::string_view text) noexcept {
  const auto length = decoded_length(text);
  if (!length) return false;
  return text.empty() || walk_groups(text, nullptr);
}

std::optional<std::string> base64_decode(std::string_view text) {
  const auto length = decoded_length(text);
  if (!length) return std::nullopt;
  std::string bytes(*length, '\0');
  if (!text.empty() && !walk_groups(text, bytes.data())) return std::nullopt;
  return bytes;
}

}  // namespace brevane
