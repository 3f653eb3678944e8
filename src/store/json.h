// Strict JSON parsing and the canonical compact text shared by fingerprints, log files and the
// read API.
#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace torvesk {

// Arrays and objects nest at most this deep; one level more is refused.
inline constexpr std::size_t kMaxJsonDepth = 127;

// Exactly one strict RFC 8259 value (JSON white space around it allowed), nesting at most
// kMaxJsonDepth levels. Duplicate member names keep the last value at the first position. An
// integer written with a minus sign is never unsigned ("-0" is the float -0.0); floats are
// correctly rounded; a number that overflows to infinity refuses the text. nullopt on failure.
std::optional<boost::json::value> parse_json_text(std::string_view text,
                                                  boost::json::storage_ptr storage = {});

// The canonical text: no white space, members in stored order, integers in plain decimal,
// floats as the shortest text that reads back to the same double ("15.84", "5.0"), strings
// escaped minimally (quote, backslash, \b \t \n \f \r, other controls as lower-case \u00XX).
void append_canonical_json(std::string& out, const boost::json::value& value);
std::string canonical_json(const boost::json::value& value);

}  // namespace torvesk
