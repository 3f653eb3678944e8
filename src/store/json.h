// Strict JSON parsing and the canonical compact text shared by fingerprints, log files and the
// read API.
#pragma once

#include <array>
#include <boost/json/object.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace torvesk {

// Arrays and objects nest at most this deep; one level more is refused.
inline constexpr std::size_t kMaxJsonDepth = 127;

// Exactly one strict RFC 8259 value (JSON white space around it allowed), nesting at most
// kMaxJsonDepth levels. Duplicate member names keep the last value at the first position. An
// integer written with a minus sign is never unsigned ("-0" is the float -0.0); floats are
// correctly rounded; a number that overflows to infinity refuses the text. nullopt on failure.
std::optional<boost::json::value> parse_json_text(std::string_view text,
                                                  boost::json::storage_ptr storage = {});

// The library's options for that parse: strict RFC 8259, nesting at most kMaxJsonDepth levels.
boost::json::parse_options strict_parse_options();

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

// A growable byte buffer that leaves its spare room uninitialised, so a writer can claim a worst
// case for each piece and give back what it did not use.
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(TextBuffer&& other) noexcept { *this = std::move(other); }
  TextBuffer& operator=(TextBuffer&& other) noexcept;

  // A buffer whose bytes take_string() hands over without a copy, for texts that end up as a
  // std::string. Its room is zero-filled as it grows, which the default buffer skips.
  static TextBuffer for_string() {
    TextBuffer buffer;
    buffer.in_string_ = true;
    buffer.data_ = buffer.string_.data();
    return buffer;
  }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return std::string_view(data_, size_); }
  // The bytes as a string, leaving the buffer empty; a copy unless made by for_string().
  std::string take_string();
  void clear() { size_ = 0; }
  // Drops everything from `size` on.
  void truncate(std::size_t size) { size_ = size < size_ ? size : size_; }
  void reserve(std::size_t capacity);

  // Room for at least `n` more bytes at the end; commit() says how far they were used.
  char* claim(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_); }
  void append(std::string_view text) {
    char* p = claim(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    commit(p + text.size());
  }
  void push_back(char c) { *claim(1) = c, ++size_; }

 private:
  void grow(std::size_t n);

  std::unique_ptr<char[]> heap_;
  std::string string_;      // the storage instead of heap_ when made by for_string()
  bool in_string_ = false;  // which of the two holds the bytes
  char* data_ = nullptr;    // the start of the one that does
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The canonical text: no white space, members in stored order, integers in plain decimal,
// floats as the shortest text that reads back to the same double ("15.84", "5.0", "1e+21",
// "1.5e-8"), strings escaped minimally (quote, backslash, \b \t \n \f \r, other controls as
// lower-case \u00XX, everything else raw UTF-8).
void append_canonical_json(std::string& out, const boost::json::value& value);
void append_canonical_json(TextBuffer& out, const boost::json::value& value);
std::string canonical_json(const boost::json::value& value);

// The float form of the canonical text alone. Finite values only; the parser never yields others.
void append_canonical_double(std::string& out, double value);
void append_canonical_double(TextBuffer& out, double value);

// The characters of a string's canonical text, escaped, without the quotes around them. Escapes
// work byte by byte, so a string may be written in pieces.
void append_escaped_characters(TextBuffer& out, std::string_view text);

// A number's text (the grammar checked already) read as a correctly rounded double; nullopt when
// it is beyond the largest double. The one reading of floats for every parse.
std::optional<double> read_json_double(std::string_view text);

// The members of `object` with the given distinct names, found in one pass over its members;
// nullptr where a name is absent. The pointers are iterators of `object`.
template <class Object, std::size_t N>
auto find_members(Object& object, const std::array<std::string_view, N>& names) {
  std::array<decltype(&*object.begin()), N> found{};
  for (auto& member : object) {
    const boost::json::string_view key = member.key();
    for (std::size_t i = 0; i < N; ++i) {
      if (key.size() == names[i].size() &&
          key == boost::json::string_view(names[i].data(), names[i].size())) {
        found[i] = &member;
        break;
      }
    }
  }
  return found;
}

// True for a number written as an integer without sign, fraction or exponent, 0 to 2^64-1.
bool is_unsigned_integer(const boost::json::value& value);
std::uint64_t unsigned_integer_value(const boost::json::value& value);

}  // namespace torvesk
