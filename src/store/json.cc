#include "store/json.h"

#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

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
    const std::optional<double> d = read_double(text);
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
  // Correctly rounded; nullopt when the value is beyond the largest double.
  static std::optional<double> read_double(std::string_view text) {
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

  std::string number_prefix_;  // the earlier parts of a number split across input pieces
};

json::parse_options strict_options() {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  return options;
}

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

void append_string(std::string& out, std::string_view s) {
  out.push_back('"');
  const char* run_start = s.data();
  const char* const end = s.data() + s.size();
  for (const char* p = run_start; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (!kNeedsEscape[c]) continue;
    out.append(run_start, static_cast<std::size_t>(p - run_start));
    run_start = p + 1;
    switch (c) {
      case '"':
        out.append("\\\"", 2);
        break;
      case '\\':
        out.append("\\\\", 2);
        break;
      case '\b':
        out.append("\\b", 2);
        break;
      case '\t':
        out.append("\\t", 2);
        break;
      case '\n':
        out.append("\\n", 2);
        break;
      case '\f':
        out.append("\\f", 2);
        break;
      case '\r':
        out.append("\\r", 2);
        break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xf]};
        out.append(escape, 6);
      }
    }
  }
  out.append(run_start, static_cast<std::size_t>(end - run_start));
  out.push_back('"');
}

template <class Integer>
void append_integer(std::string& out, Integer i) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, i);
  out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

void append_value(std::string& out, const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      out.append("null", 4);
      break;
    case json::kind::bool_:
      if (value.get_bool()) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      break;
    case json::kind::int64:
      append_integer(out, value.get_int64());
      break;
    case json::kind::uint64:
      append_integer(out, value.get_uint64());
      break;
    case json::kind::double_:
      append_canonical_double(out, value.get_double());
      break;
    case json::kind::string: {
      const json::string& s = value.get_string();
      append_string(out, std::string_view(s.data(), s.size()));
      break;
    }
    case json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const json::value& element : value.get_array()) {
        if (!first) out.push_back(',');
        first = false;
        append_value(out, element);
      }
      out.push_back(']');
      break;
    }
    case json::kind::object: {
      out.push_back('{');
      bool first = true;
      for (const json::key_value_pair& member : value.get_object()) {
        if (!first) out.push_back(',');
        first = false;
        const json::string_view key = member.key();
        append_string(out, std::string_view(key.data(), key.size()));
        out.push_back(':');
        append_value(out, member.value());
      }
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

struct JsonParser::Impl {
  json::basic_parser<ValueHandler> parser{strict_options()};
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

std::optional<json::value> parse_json_text(std::string_view text, json::storage_ptr storage) {
  JsonParser parser;
  return parser.parse(text, std::move(storage));
}

void append_canonical_double(std::string& out, double value) {
  // Plain decimal from 1e-6 up to 1e21, as JavaScript writes numbers, so ordinary values read
  // naturally ("0.000001", "300000.0"); the exponent form outside, without padded exponent
  // digits ("1e+21", "1.5e-7"). Either way the digits are the shortest that read back exactly;
  // unlike JavaScript, an integral value keeps ".0" so it reads back as a float.
  constexpr double kLowestPlain = 1e-6;
  constexpr double kFirstExponent = 1e21;
  char buffer[64];
  const double magnitude = std::fabs(value);
  if (magnitude == 0 || (magnitude >= kLowestPlain && magnitude < kFirstExponent)) {
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
    // Digits alone would read back as an integer.
    if (std::memchr(buffer, '.', result.ptr - buffer) == nullptr) out.append(".0", 2);
    return;
  }
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  // "1.5e-08": keep the sign, drop the leading zeros of the exponent.
  const char* e = static_cast<const char*>(std::memchr(buffer, 'e', result.ptr - buffer));
  out.append(buffer, static_cast<std::size_t>(e + 2 - buffer));
  const char* digits = e + 2;
  while (digits + 1 < result.ptr && *digits == '0') ++digits;
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

void append_canonical_json(std::string& out, const json::value& value) { append_value(out, value); }

std::string canonical_json(const json::value& value) {
  std::string out;
  append_value(out, value);
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
