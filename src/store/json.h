// Strict JSON parsing and the canonical compact text shared by fingerprints, log files and the
// read API.
#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <memory>
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

// The same parse, keeping its internal stacks from one text to the next: the form for parsing
// many lines in a row. One parser serves one thread at a time.
class JsonParser {
 public:
  JsonParser();
  ~JsonParser();
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;

  // The value is allocated from `storage`, which must outlive it.
  std::optional<boost::json::value> parse(std::string_view text,
                                          boost::json::storage_ptr storage = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The canonical text: no white space, members in stored order, integers in plain decimal,
// floats as the shortest text that reads back to the same double ("15.84", "5.0", "1e+21",
// "1.5e-8"), strings escaped minimally (quote, backslash, \b \t \n \f \r, other controls as
// lower-case \u00XX, everything else raw UTF-8).
void append_canonical_json(std::string& out, const boost::json::value& value);
std::string canonical_json(const boost::json::value& value);

// The float form of the canonical text alone. Finite values only; the parser never yields others.
void append_canonical_double(std::string& out, double value);

// True for a number written as an integer without sign, fraction or exponent, 0 to 2^64-1.
bool is_unsigned_integer(const boost::json::value& value);
std::uint64_t unsigned_integer_value(const boost::json::value& value);

}  // namespace torvesk
