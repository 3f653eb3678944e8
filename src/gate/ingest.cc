#include "gate/ingest.h"

#include <algorithm>
#include <array>
#include <boost/json/object.hpp>
#include <limits>
#include <string>
#include <string_view>

#include "base/net_address.h"
#include "base/text.h"
#include "gate/access.h"
#include "gate/gzip_body.h"

namespace torvesk {
namespace {

constexpr std::array<std::string_view, 3> kAcceptedMediaTypes = {
    "application/x-ndjson", "application/ndjson", "application/json"};

// The body buffer is sized from the declared length up front to avoid regrowing it while reading,
// but never beyond this: a client must send bytes, not just claim them, to make the monitor hold
// memory.
constexpr std::uint64_t kMaxBodyReservation = 8 * 1024 * 1024;

// The first Content-Type, lower-cased, parameters dropped, trimmed.
bool is_accepted_media_type(const std::vector<Header>& headers) {
  const std::string* header = find_header(headers, "content-type");
  std::string_view value = header ? std::string_view(*header) : std::string_view();
  value = value.substr(0, value.find(';'));
  const std::string folded = to_ascii_lower(value);
  const std::string_view media_type = trim_white_space(folded);
  return std::find(kAcceptedMediaTypes.begin(), kAcceptedMediaTypes.end(), media_type) !=
         kAcceptedMediaTypes.end();
}

}  // namespace

Response handle_ingest(Request& request, ServerState& state,
                       const std::optional<IpAddress>& client) {
  // The token is meant for runners; a page in a browser has no business pushing events, even one
  // served from a trusted origin.
  if (find_header(request.headers, "origin") != nullptr) {
    return text_response(403, "browser requests are not accepted on /ingest");
  }
  if (!state.ingest_token.empty()) {
    const std::optional<std::string> credential = extract_credential(request.headers);
    if (!credential || !tokens_match(state.ingest_token, *credential)) {
      return text_response(401, "missing or invalid token");
    }
  }
  if (!is_accepted_media_type(request.headers)) {
    return text_response(415, "content-type must be application/x-ndjson");
  }
  const BodyEncoding encoding = body_encoding(request.headers);
  if (encoding == BodyEncoding::kUnsupported) {
    return text_response(415, "content-encoding must be gzip or identity");
  }
  const std::uint64_t max_body_bytes = state.max_body_bytes;
  if (request.declared_length && *request.declared_length > max_body_bytes) {
    return text_response(413, "body too large");
  }

  // Everything above is decided on the head alone: a client waiting for "100 Continue" gets
  // those refusals without sending its body, since the reader sends it on the first read.
  const std::uint64_t read_cap = max_body_bytes == std::numeric_limits<std::uint64_t>::max()
                                     ? max_body_bytes
                                     : max_body_bytes + 1;
  std::string body;
  if (request.declared_length) {
    body.reserve(static_cast<std::size_t>(
        std::min({*request.declared_length, max_body_bytes, kMaxBodyReservation})));
  }
  if (!request.body || !request.body->read_to_end(body, read_cap)) {
    return text_response(400, "unreadable body");
  }
  if (body.size() > max_body_bytes) return text_response(413, "body too large");
  if (encoding == BodyEncoding::kGzip) {
    // The limit and the byte budget count what the events take, not what they took on the wire.
    std::string inflated;
    switch (inflate_gzip(body, max_body_bytes, inflated)) {
      case InflateResult::kTooLarge:
        return text_response(413, "body too large");
      case InflateResult::kCorrupt:
        return text_response(400, "unreadable body");
      case InflateResult::kOk:
        body.swap(inflated);
        break;
    }
  }

  // Charged before the UTF-8 check: a client cannot spend the monitor's reading for free by
  // sending bytes it knows will be refused.
  if (client && !state.limiter.charge_ingest_bytes(*client, body.size(), state.clock())) {
    return too_many_requests();
  }
  if (!is_valid_utf8(body)) return text_response(400, "body is not UTF-8");

  std::optional<std::string> observed_ip;
  if (client) observed_ip = address_text(*client);
  const IngestOutcome outcome = ingest_batch(*state.store, body, state.data_dir, observed_ip);
  Metrics& metrics = state.metrics;
  Metrics::add(metrics.bytes_accepted, body.size());
  Metrics::add(metrics.bad_lines, outcome.bad_lines);
  Metrics::add(metrics.duplicate_lines, outcome.duplicate_lines);
  Metrics::add(metrics.failed_appends, outcome.failed_appends);
  return json_response(boost::json::object{{"ok", true}});
}

}  // namespace torvesk
