#include "gate/dispatch.h"

#include <optional>

#include "base/text.h"
#include "gate/access.h"
#include "gate/client_address.h"
#include "gate/ingest.h"
#include "view/metrics_text.h"
#include "view/read_api.h"

namespace torvesk {
namespace {

constexpr std::string_view kRunsPath = "/api/runs";
constexpr std::string_view kRunPrefix = "/api/runs/";
constexpr std::string_view kDownloadSuffix = "/download";
constexpr std::string_view kMetricsPath = "/metrics";

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string decode_run_id(std::string_view segment) {
  if (segment.find('%') == std::string_view::npos) return std::string(segment);
  std::string decoded;
  decoded.reserve(segment.size());
  std::size_t i = 0;
  while (i < segment.size()) {
    if (segment[i] != '%') {
      decoded += segment[i++];
      continue;
    }
    if (segment.size() - i < 3) {
      // Fewer than two characters after the "%": copied as they stand.
      decoded.append(segment.substr(i));
      break;
    }
    const int high = hex_digit_value(segment[i + 1]);
    const int low = hex_digit_value(segment[i + 2]);
    if (high < 0) {
      decoded += '%';
      i += 1;
    } else if (low < 0) {
      decoded.append(segment.substr(i, 2));
      i += 2;
    } else {
      decoded += static_cast<char>(high * 16 + low);
      i += 3;
    }
  }
  if (!is_valid_utf8(decoded)) return std::string(segment);
  return decoded;
}

Response handle_request(Request& request, ServerState& state) {
  const std::string_view path = request_path(request.target);
  const std::optional<IpAddress> client =
      client_address(request.peer, request.headers, state.trusted_proxies);
  const bool is_get = request.method == "GET";

  if (is_get) {
    if (std::optional<Response> refusal = read_gate(request, state, client)) {
      return std::move(*refusal);
    }
  }
  if (request.method == "POST" && path == "/ingest") {
    Response response = handle_ingest(request, state, client);
    state.metrics.count_push(response.status);
    return response;
  }
  if (!is_get) return text_response(404, "not found");
  if (path == kRunsPath) return run_list(*state.store, state.data_dir);
  if (path == kMetricsPath && state.serve_metrics)
    return metrics_answer(state.metrics, *state.store);
  if (path.starts_with(kRunPrefix)) {
    if (path.ends_with(kDownloadSuffix)) {
      // In "/api/runs/download" prefix and suffix share their "/": nothing lies between them, so
      // it is the download of the empty run id.
      const std::size_t begin = kRunPrefix.size();
      const std::size_t end = path.size() - kDownloadSuffix.size();
      const std::string_view segment =
          end > begin ? path.substr(begin, end - begin) : std::string_view();
      return run_download(*state.store, decode_run_id(segment));
    }
    return run_detail(*state.store, decode_run_id(path.substr(kRunPrefix.size())));
  }
  return dashboard_page();
}

}  // namespace torvesk
