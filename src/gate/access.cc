#include "gate/access.h"

#include <sodium.h>

#include <algorithm>

#include "base/text.h"
#include "gate/sodium_ready.h"

namespace torvesk {
namespace {

Response authentication_required() {
  Response response = text_response(401, "authentication required");
  add_header(response, "WWW-Authenticate", kReadChallenge);
  return response;
}

// The standard Base64 alphabet and its padding character.
bool is_base64_text_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

// The password of a Basic credential: strict Base64 (standard alphabet, canonical padding, zero
// trailing bits, nothing else), UTF-8 text, everything after the first ":".
std::optional<std::string> basic_password(std::string_view encoded) {
  // The library's decoder reads every byte beyond ASCII as "/" instead of stopping there: only
  // the alphabet and the padding may reach it.
  if (!std::all_of(encoded.begin(), encoded.end(), is_base64_text_character)) return std::nullopt;
  // Decoding needs no initialisation; the call keeps the library's one rule for every use.
  sodium_ready();
  std::string decoded(encoded.size() / 4 * 3 + 3, '\0');
  std::size_t decoded_length = 0;
  const char* end = nullptr;
  const int result =
      sodium_base642bin(reinterpret_cast<unsigned char*>(decoded.data()), decoded.size(),
                        encoded.data(), encoded.size(),
                        /*ignore=*/nullptr, &decoded_length, &end, sodium_base64_VARIANT_ORIGINAL);
  // The decoder stops at the first character outside the alphabet and reports where: anything
  // left over (white space, a stray "=", a second block) makes the text invalid.
  if (result != 0 || end != encoded.data() + encoded.size()) return std::nullopt;
  decoded.resize(decoded_length);
  if (!is_valid_utf8(decoded)) return std::nullopt;
  const std::size_t colon = decoded.find(':');
  if (colon == std::string::npos) return std::nullopt;
  return decoded.substr(colon + 1);
}

}  // namespace

std::optional<Response> read_gate(const Request& request, ServerState& state,
                                  const std::optional<IpAddress>& client) {
  if (client && state.limiter.auth_locked_out(*client, state.clock())) {
    return too_many_requests();
  }
  if (!state.read_token.empty()) {
    const std::optional<std::string> credential = extract_credential(request.headers);
    // A request without any credential is the browser's first try before it asks for a
    // password; only a wrong credential counts towards the lockout.
    if (!credential) return authentication_required();
    if (!tokens_match(state.read_token, *credential)) {
      if (client) state.limiter.record_auth_failure(*client, state.clock());
      return authentication_required();
    }
    return std::nullopt;
  }
  if (is_local_host(request.headers)) return std::nullopt;
  return text_response(403, "forbidden host");
}

std::optional<std::string> extract_credential(const std::vector<Header>& headers) {
  if (const std::string* authorization = find_header(headers, "authorization")) {
    const std::string_view value = trim_white_space(*authorization);
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string scheme = to_ascii_lower(value.substr(0, space));
    const std::string_view parameter = trim_white_space(value.substr(space + 1));
    if (scheme == "bearer") return std::string(parameter);
    if (scheme == "basic") return basic_password(parameter);
    return std::nullopt;  // the Authorization header decides, even when it gave nothing
  }
  if (const std::string* token = find_header(headers, "x-torvesk-token")) {
    return std::string(trim_white_space(*token));
  }
  return std::nullopt;
}

bool tokens_match(std::string_view configured, std::string_view presented) {
  if (configured.size() != presented.size()) return false;
  // Volatile so that the compiler cannot stop at the first difference: the time taken must not
  // tell an attacker how many leading bytes were right.
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < configured.size(); ++i) {
    difference = difference | static_cast<unsigned char>(configured[i] ^ presented[i]);
  }
  return difference == 0;
}

bool is_local_host(const std::vector<Header>& headers) {
  const std::string* host = find_header(headers, "host");
  std::string_view name = host ? trim_white_space(*host) : std::string_view();
  if (name.starts_with('[')) {
    name.remove_prefix(1);
    name = name.substr(0, name.find(']'));
  } else if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  return name == "::1" || name == "127.0.0.1" || equals_ignoring_ascii_case(name, "localhost");
}

}  // namespace torvesk
