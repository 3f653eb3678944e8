// The answer record every handler builds, and the headers every answer carries.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvesk {

struct Response {
  std::uint16_t status = 200;
  // Sent in this order, names in the letter case their builder wrote. Framing headers such as
  // Content-Length are the HTTP layer's and never appear here.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// Status and "Content-Type: text/plain; charset=UTF-8" with the message as body.
Response text_response(std::uint16_t status, std::string_view message);

// Status 200, "Content-Type: application/json", the compact JSON text of `value`.
Response json_response(const boost::json::value& value);

// As json_response, for a body the caller already holds as compact JSON text.
Response json_text_response(std::string compact_json);

// Replaces an existing Content-Type in place (letter case of the name ignored); appends every
// other header, even when one of that name is present.
void add_header(Response& response, std::string_view name, std::string_view value);

// Appends the five security headers, in their fixed order.
Response with_security_headers(Response response);

// 503 "busy, retry later" with "Retry-After: 1" and the security headers: the answer to a request
// that cannot be given a worker now.
Response busy_response();

}  // namespace torvesk
