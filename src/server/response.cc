#include "server/response.h"

#include <boost/json/serialize.hpp>

#include "base/text.h"

namespace torvesk {

Response text_response(std::uint16_t status, std::string_view message) {
  Response response;
  response.status = status;
  response.headers.emplace_back("Content-Type", "text/plain; charset=UTF-8");
  response.body.assign(message);
  return response;
}

Response json_response(const boost::json::value& value) {
  return json_text_response(boost::json::serialize(value));
}

Response json_text_response(std::string compact_json) {
  Response response;
  response.headers.emplace_back("Content-Type", "application/json");
  response.body = std::move(compact_json);
  return response;
}

void add_header(Response& response, std::string_view name, std::string_view value) {
  if (equals_ignoring_ascii_case(name, "Content-Type")) {
    for (auto& [existing_name, existing_value] : response.headers) {
      if (equals_ignoring_ascii_case(existing_name, "Content-Type")) {
        existing_value.assign(value);
        return;
      }
    }
  }
  response.headers.emplace_back(std::string(name), std::string(value));
}

Response with_security_headers(Response response) {
  add_header(response, "Content-Security-Policy", kContentSecurityPolicy);
  add_header(response, "X-Content-Type-Options", "nosniff");
  add_header(response, "X-Frame-Options", "DENY");
  add_header(response, "Referrer-Policy", "no-referrer");
  add_header(response, "Cache-Control", "no-store");
  return response;
}

Response busy_response() {
  Response response = text_response(503, "busy, retry later");
  add_header(response, "Retry-After", "1");
  return with_security_headers(std::move(response));
}

}  // namespace torvesk
