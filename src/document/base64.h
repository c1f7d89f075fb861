// Base64 of RFC 4648 section 4, standard alphabet: written padded and without
// line breaks, read strictly (padding required, canonical trailing bits, no
// whitespace, no URL-safe letters).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brevane {

// 4 * ceil(n / 3).
constexpr std::uint64_t base64_encoded_length(std::uint64_t n) noexcept {
  return (n / 3 + (n % 3 != 0 ? 1 : 0)) * 4;
}

// Writes exactly base64_encoded_length(bytes.size()) characters at `out`.
void base64_encode_to(std::string_view bytes, char* out) noexcept;

// True when `text` is strict Base64 (the empty text is).
bool base64_valid(std::string_view text) noexcept;

// The decoded bytes, or nothing for any invalid text.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace brevane
