// extract_credential on a header list made from the input, one "name:value" header per line,
// against a reference written from the rules with a Base64 decoder of its own (standard alphabet,
// padding required and canonical, zero trailing bits). A Basic credential is always UTF-8 text.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "fuzz_check.h"
#include "gate/access.h"

namespace torvesk::fuzz {
namespace {

// More headers add nothing the first few do not show.
constexpr std::size_t kMaxHeaders = 16;

std::vector<Header> headers_from(std::string_view text) {
  std::vector<Header> headers;
  while (!text.empty() && headers.size() < kMaxHeaders) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      headers.push_back(Header{std::string(line), std::string()});
    } else {
      headers.push_back(
          Header{std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return headers;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const std::string* first_header(const std::vector<Header>& headers, std::string_view name) {
  for (const Header& header : headers) {
    if (same_name(header.name, name)) return &header.value;
  }
  return nullptr;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict RFC 4648 Base64: whole groups of four, "=" only as the padding of the last group, and
// the bits the padding leaves over all zero.
std::optional<std::string> strict_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    std::array<int, 4> v{};
    int padding = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text[group + i];
      if (c == '=' && last && i >= 2) {
        ++padding;
        v[i] = 0;
        continue;
      }
      if (padding != 0) return std::nullopt;  // data after padding
      v[i] = base64_value(c);
      if (v[i] < 0) return std::nullopt;
    }
    const std::uint32_t bits =
        (static_cast<std::uint32_t>(v[0]) << 18) | (static_cast<std::uint32_t>(v[1]) << 12) |
        (static_cast<std::uint32_t>(v[2]) << 6) | static_cast<std::uint32_t>(v[3]);
    if (padding == 2 && (v[1] & 0x0f) != 0) return std::nullopt;
    if (padding == 1 && (v[2] & 0x03) != 0) return std::nullopt;
    out.push_back(static_cast<char>(bits >> 16));
    if (padding < 2) out.push_back(static_cast<char>((bits >> 8) & 0xff));
    if (padding < 1) out.push_back(static_cast<char>(bits & 0xff));
  }
  return out;
}

std::optional<std::string> reference_credential(const std::vector<Header>& headers) {
  if (const std::string* authorization = first_header(headers, "authorization")) {
    const std::string_view value = trim_white_space(*authorization);
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    std::string scheme(value.substr(0, space));
    for (char& c : scheme) c = lower(c);
    const std::string_view parameter = trim_white_space(value.substr(space + 1));
    if (scheme == "bearer") return std::string(parameter);
    if (scheme != "basic") return std::nullopt;
    const std::optional<std::string> decoded = strict_base64(parameter);
    if (!decoded || !is_valid_utf8(*decoded)) return std::nullopt;
    const std::size_t colon = decoded->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return decoded->substr(colon + 1);
  }
  if (const std::string* token = first_header(headers, "x-torvesk-token")) {
    return std::string(trim_white_space(*token));
  }
  return std::nullopt;
}

}  // namespace
}  // namespace torvesk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace torvesk;
  const std::vector<Header> headers = fuzz::headers_from(fuzz::input_text(data, size));
  const std::optional<std::string> credential = extract_credential(headers);
  const std::optional<std::string> expected = fuzz::reference_credential(headers);
  FUZZ_CHECK(credential == expected);
  const std::string* authorization = fuzz::first_header(headers, "authorization");
  if (credential && authorization != nullptr) {
    const std::string_view value = trim_white_space(*authorization);
    if (fuzz::same_name(value.substr(0, value.find(' ')), "basic")) {
      FUZZ_CHECK(is_valid_utf8(*credential));
    }
  }
  // The comparison of a credential with itself, and with a token one byte longer.
  if (credential && !credential->empty()) {
    FUZZ_CHECK(tokens_match(*credential, *credential));
    FUZZ_CHECK(!tokens_match(*credential + "x", *credential));
  }
  return 0;
}
