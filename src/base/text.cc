#include "base/text.h"

#include <cstdint>
#include <cstring>

namespace torvesk {
namespace {

// The decoded scalar value and the number of bytes it took; `length` is 0 when the bytes at that
// position are not a well-formed UTF-8 sequence.
struct Decoded {
  char32_t value = 0;
  std::size_t length = 0;
};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Strict decoding after the table of well-formed byte sequences in RFC 3629: the ranges allowed for
// the second byte exclude overlong forms, surrogates and values above U+10FFFF.
Decoded decode_at(std::string_view bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) return {lead, 1};

  std::size_t length;
  char32_t value;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;  // below would be overlong
    if (lead == 0xED) second_max = 0x9F;  // above would be a surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;  // below would be overlong
    if (lead == 0xF4) second_max = 0x8F;  // above would exceed U+10FFFF
  } else {
    return {};
  }
  if (bytes.size() - pos < length) return {};

  const auto second = static_cast<unsigned char>(bytes[pos + 1]);
  if (second < second_min || second > second_max) return {};
  value = (value << 6) | (second & 0x3F);
  for (std::size_t i = 2; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[pos + i]);
    if (!is_continuation(byte)) return {};
    value = (value << 6) | (byte & 0x3F);
  }
  return {value, length};
}

// Decodes the sequence that ends exactly at the end of `bytes`, if there is a well-formed one.
Decoded decode_last(std::string_view bytes) {
  const std::size_t end = bytes.size();
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 &&
         is_continuation(static_cast<unsigned char>(bytes[start]))) {
    --start;
  }
  const Decoded decoded = decode_at(bytes, start);
  if (decoded.length != end - start) return {};
  return decoded;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const Decoded first = decode_at(text, 0);
    if (first.length == 0 || !is_white_space(first.value)) break;
    text.remove_prefix(first.length);
  }
  while (!text.empty()) {
    const Decoded last = decode_last(text);
    if (last.length == 0 || !is_white_space(last.value)) break;
    text.remove_suffix(last.length);
  }
  return text;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Runs of ASCII, the bulk of pushed bodies, are passed over eight bytes at a time.
    while (bytes.size() - pos >= sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + pos, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      pos += sizeof word;
    }
    if (pos == bytes.size()) break;
    const Decoded decoded = decode_at(bytes, pos);
    if (decoded.length == 0) return false;
    pos += decoded.length;
  }
  return true;
}

std::size_t count_scalar_values(std::string_view utf8) {
  std::size_t count = 0;
  for (const char c : utf8) {
    if (!is_continuation(static_cast<unsigned char>(c))) ++count;
  }
  return count;
}

char32_t next_scalar_value(std::string_view utf8, std::size_t& pos) {
  const Decoded decoded = decode_at(utf8, pos);
  if (decoded.length == 0) {
    // Not reached with valid text; stepping one byte keeps a caller's loop finite regardless.
    ++pos;
    return U'\uFFFD';
  }
  pos += decoded.length;
  return decoded.value;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

std::string to_ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = ascii_lower(c);
  return lower;
}

}  // namespace torvesk
