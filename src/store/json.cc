#include "store/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace torvesk {
namespace {

namespace json = boost::json;

// The library's value-building handler, except for numbers: an integer with a minus sign is
// never unsigned, floats are read from their own text with correct rounding, and a float that
// overflows refuses the document (infinity has no JSON form).
class ValueHandler {
 public:
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  json::value_stack stack;

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number_prefix_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view s, json::error_code&) {
    const bool minus =
        number_prefix_.empty() ? (!s.empty() && s.front() == '-') : number_prefix_.front() == '-';
    number_prefix_.clear();
    if (i == 0 && minus) {
      stack.push_double(-0.0);
    } else {
      stack.push_int64(i);
    }
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number_prefix_.clear();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double, json::string_view s, json::error_code& ec) {
    std::string_view text(s.data(), s.size());
    if (!number_prefix_.empty()) {
      number_prefix_.append(s.data(), s.size());
      text = number_prefix_;
    }
    const std::optional<double> d = read_json_double(text);
    number_prefix_.clear();
    if (!d) {
      ec = json::error::exponent_overflow;
      return false;
    }
    stack.push_double(*d);
    return true;
  }
  bool on_bool(bool b, json::error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

  void reset(json::storage_ptr storage) {
    number_prefix_.clear();
    stack.reset(std::move(storage));
  }

 private:
  std::string number_prefix_;  // the earlier parts of a number split across input pieces
};

// Enough for any double in any of the forms written ("-2.2250738585072014e-308" and the plain
// forms up to 1e21 with ".0").
constexpr std::size_t kMaxDoubleText = 64;

// Lower-case hexadecimal for the \u00XX escapes.
constexpr char kHexDigits[] = "0123456789abcdef";

// 0: written as is; 1: needs an escape.
constexpr std::array<unsigned char, 256> make_escape_table() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 1;
  table['"'] = 1;
  table['\\'] = 1;
  return table;
}
constexpr std::array<unsigned char, 256> kNeedsEscape = make_escape_table();

// The position of the first byte at or after `i` that needs an escape, or `size`. Looks at eight
// bytes at a time: most strings need no escape at all.
std::size_t next_escape(const char* s, std::size_t i, std::size_t size) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, 8);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    // The lowest flagged byte of each test is a true match (a borrow only runs upwards), so the
    // lowest flag of all three is the first byte to escape.
    const std::uint64_t flags = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                ((word - kOnes * 0x20) & ~word);
    const std::uint64_t found = flags & kHighs;
    if (found != 0) return i + static_cast<std::size_t>(std::countr_zero(found) >> 3);
  }
  for (; i < size; ++i) {
    if (kNeedsEscape[static_cast<unsigned char>(s[i])]) return i;
  }
  return size;
}

char* write_canonical_double(char* out, double value) {
  // Plain decimal from 1e-6 up to 1e21, as JavaScript writes numbers, so ordinary values read
  // naturally ("0.000001", "300000.0"); the exponent form outside, without padded exponent
  // digits ("1e+21", "1.5e-7"). Either way the digits are the shortest that read back exactly;
  // unlike JavaScript, an integral value keeps ".0" so it reads back as a float.
  constexpr double kLowestPlain = 1e-6;
  constexpr double kFirstExponent = 1e21;
  char* const end = out + kMaxDoubleText;
  const double magnitude = std::fabs(value);
  if (magnitude == 0 || (magnitude >= kLowestPlain && magnitude < kFirstExponent)) {
    char* p = std::to_chars(out, end, value, std::chars_format::fixed).ptr;
    // Digits alone would read back as an integer.
    if (std::memchr(out, '.', static_cast<std::size_t>(p - out)) == nullptr) {
      *p++ = '.';
      *p++ = '0';
    }
    return p;
  }
  char* p = std::to_chars(out, end, value, std::chars_format::scientific).ptr;
  // "1.5e-08": keep the sign, drop the leading zeros of the exponent.
  char* e = static_cast<char*>(std::memchr(out, 'e', static_cast<std::size_t>(p - out)));
  char* digits = e + 2;
  char* first = digits;
  while (first + 1 < p && *first == '0') ++first;
  if (first != digits) std::memmove(digits, first, static_cast<std::size_t>(p - first));
  return digits + (p - first);
}

// Where the writer puts its bytes: claim(n) gives room for n bytes, commit(end) keeps what was
// written up to `end`.
class StringSink {
 public:
  explicit StringSink(std::string& out) : out_(out), used_(out.size()) {}
  ~StringSink() { out_.resize(used_); }
  StringSink(const StringSink&) = delete;
  StringSink& operator=(const StringSink&) = delete;

  char* claim(std::size_t n) {
    if (out_.size() - used_ < n) out_.resize(std::max(used_ + n, out_.size() * 2));
    return out_.data() + used_;
  }
  void commit(const char* end) { used_ = static_cast<std::size_t>(end - out_.data()); }

 private:
  std::string& out_;
  std::size_t used_;
};

// The characters of a string, escaped minimally, without quotes.
template <class Sink>
void write_escaped(Sink& sink, const char* s, std::size_t size) {
  // Room for the whole string unescaped; each escape claims its extra room.
  char* p = sink.claim(size);
  std::size_t i = 0;
  for (;;) {
    const std::size_t j = next_escape(s, i, size);
    if (j != i) std::memcpy(p, s + i, j - i);
    p += j - i;
    if (j == size) break;
    sink.commit(p);
    p = sink.claim(6 + (size - j - 1));
    const auto c = static_cast<unsigned char>(s[j]);
    *p++ = '\\';
    switch (c) {
      case '"':
      case '\\':
        *p++ = static_cast<char>(c);
        break;
      case '\b':
        *p++ = 'b';
        break;
      case '\t':
        *p++ = 't';
        break;
      case '\n':
        *p++ = 'n';
        break;
      case '\f':
        *p++ = 'f';
        break;
      case '\r':
        *p++ = 'r';
        break;
      default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHexDigits[c >> 4];
        *p++ = kHexDigits[c & 0xf];
    }
    i = j + 1;
  }
  sink.commit(p);
}

template <class Sink>
class CanonicalWriter {
 public:
  explicit CanonicalWriter(Sink& sink) : sink_(sink) {}

  void value(const json::value& v) {
    switch (v.kind()) {
      case json::kind::null:
        literal("null", 4);
        break;
      case json::kind::bool_:
        if (v.get_bool()) {
          literal("true", 4);
        } else {
          literal("false", 5);
        }
        break;
      case json::kind::int64:
        integer(v.get_int64());
        break;
      case json::kind::uint64:
        integer(v.get_uint64());
        break;
      case json::kind::double_: {
        char* p = sink_.claim(kMaxDoubleText);
        sink_.commit(write_canonical_double(p, v.get_double()));
        break;
      }
      case json::kind::string: {
        const json::string& text = v.get_string();
        string(text.data(), text.size());
        break;
      }
      case json::kind::array: {
        const json::array& array = v.get_array();
        put('[');
        bool first = true;
        for (const json::value& element : array) {
          if (!first) put(',');
          first = false;
          value(element);
        }
        put(']');
        break;
      }
      case json::kind::object: {
        const json::object& object = v.get_object();
        put('{');
        bool first = true;
        for (const json::key_value_pair& member : object) {
          if (!first) put(',');
          first = false;
          const json::string_view key = member.key();
          string(key.data(), key.size());
          put(':');
          value(member.value());
        }
        put('}');
        break;
      }
    }
  }

 private:
  void put(char c) {
    char* p = sink_.claim(1);
    *p = c;
    sink_.commit(p + 1);
  }

  void literal(const char* text, std::size_t size) {
    char* p = sink_.claim(size);
    std::memcpy(p, text, size);
    sink_.commit(p + size);
  }

  template <class Integer>
  void integer(Integer i) {
    char* p = sink_.claim(24);
    sink_.commit(std::to_chars(p, p + 24, i).ptr);
  }

  void string(const char* s, std::size_t size) {
    put('"');
    write_escaped(sink_, s, size);
    put('"');
  }

  Sink& sink_;
};

}  // namespace

void TextBuffer::reserve(std::size_t capacity) {
  if (capacity > capacity_) grow(capacity - size_);
}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
  heap_ = std::move(other.heap_);
  string_ = std::move(other.string_);
  in_string_ = other.in_string_;
  // A short string's bytes live inside the string object, so the start is taken afresh.
  data_ = in_string_ ? string_.data() : heap_.get();
  size_ = std::exchange(other.size_, 0);
  capacity_ = std::exchange(other.capacity_, 0);
  other.data_ = other.in_string_ ? other.string_.data() : other.heap_.get();
  return *this;
}

void TextBuffer::grow(std::size_t n) {
  const std::size_t capacity = std::max(size_ + n, capacity_ * 2);
  if (in_string_) {
    string_.resize(size_);  // so that growing copies only the bytes in use
    string_.resize(capacity);
    data_ = string_.data();
  } else {
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ != 0) std::memcpy(bigger.get(), data_, size_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
  }
  capacity_ = capacity;
}

std::string TextBuffer::take_string() {
  std::string out;
  if (in_string_) {
    string_.resize(size_);
    out = std::move(string_);
    string_ = std::string();
    data_ = string_.data();
  } else {
    out.assign(data_, size_);
  }
  size_ = 0;
  capacity_ = in_string_ ? 0 : capacity_;
  return out;
}

struct JsonParser::Impl {
  json::basic_parser<ValueHandler> parser{strict_parse_options()};
};

JsonParser::JsonParser() : impl_(std::make_unique<Impl>()) {}
JsonParser::~JsonParser() = default;

std::optional<json::value> JsonParser::parse(std::string_view text, json::storage_ptr storage) {
  auto& parser = impl_->parser;
  parser.reset();
  parser.handler().reset(std::move(storage));
  std::optional<json::value> result;
  try {
    json::error_code ec;
    const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
    if (!ec && used == text.size() && parser.done()) {
      result.emplace(parser.handler().stack.release());
    }
  } catch (const std::exception&) {
    // Out of memory or beyond a library size limit: the text is refused like any bad text.
    result.reset();
  }
  // Partial values of a failed parse are destroyed now, while their storage still exists.
  parser.handler().reset({});
  return result;
}

json::parse_options strict_parse_options() {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  return options;
}

std::optional<double> read_json_double(std::string_view text) {
  double d = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec == std::errc() && end == text.data() + text.size()) return d;
  if (ec != std::errc::result_out_of_range) return std::nullopt;
  // Out of range either way: strtod tells an underflow (a correctly rounded zero) from an
  // overflow (infinity). It needs a terminated copy; this path is rare.
  const std::string copy(text);
  const double strtod_value = std::strtod(copy.c_str(), nullptr);
  if (std::isinf(strtod_value)) return std::nullopt;
  return strtod_value;
}

std::optional<json::value> parse_json_text(std::string_view text, json::storage_ptr storage) {
  JsonParser parser;
  return parser.parse(text, std::move(storage));
}

void append_canonical_double(std::string& out, double value) {
  char buffer[kMaxDoubleText];
  out.append(buffer, static_cast<std::size_t>(write_canonical_double(buffer, value) - buffer));
}

void append_canonical_double(TextBuffer& out, double value) {
  out.commit(write_canonical_double(out.claim(kMaxDoubleText), value));
}

void append_escaped_characters(TextBuffer& out, std::string_view text) {
  write_escaped(out, text.data(), text.size());
}

void append_canonical_json(std::string& out, const json::value& value) {
  StringSink sink(out);
  CanonicalWriter<StringSink>(sink).value(value);
}

void append_canonical_json(TextBuffer& out, const json::value& value) {
  CanonicalWriter<TextBuffer>(out).value(value);
}

std::string canonical_json(const json::value& value) {
  std::string out;
  append_canonical_json(out, value);
  return out;
}

bool is_unsigned_integer(const json::value& value) {
  // The parser keeps a minus-signed zero as a float, so a non-negative int64 had no sign.
  return value.is_uint64() || (value.is_int64() && value.get_int64() >= 0);
}

std::uint64_t unsigned_integer_value(const json::value& value) {
  return value.is_uint64() ? value.get_uint64() : static_cast<std::uint64_t>(value.get_int64());
}

}  // namespace torvesk
