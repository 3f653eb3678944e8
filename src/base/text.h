// Text helpers shared by every module: UTF-8 validation, the Unicode White_Space trim rule, and
// ASCII case folding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace torvesk {

// True for exactly the characters with the Unicode White_Space property: U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// Removes every leading and trailing White_Space character. Bytes that do not decode as UTF-8 end
// the trimming at that side, so any byte string is accepted.
std::string_view trim_white_space(std::string_view text);

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Number of Unicode scalar values in valid UTF-8 text.
std::size_t count_scalar_values(std::string_view utf8);

// Decodes the scalar value starting at `pos` (which must be below the size) of valid UTF-8 text and
// advances `pos` past it. Bytes that do not decode give U+FFFD and advance `pos` by one byte.
char32_t next_scalar_value(std::string_view utf8, std::size_t& pos);

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);
std::string to_ascii_lower(std::string_view text);

}  // namespace torvesk
