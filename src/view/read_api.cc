#include "view/read_api.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <vector>

#include "store/run_log.h"

namespace torvesk {
namespace {

constexpr std::string_view kRunNotFoundJson = R"({"error":"run not found"})";

// A JSON string escaped exactly like the canonical text of the held events: quote, backslash,
// \b \t \n \f \r, other controls as lower-case \u00XX, every other byte as it stands.
void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, plain_from, i - plain_from);
    plain_from = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text, plain_from, text.size() - plain_from);
  out += '"';
}

void append_member(std::string& out, std::string_view key, std::string_view value) {
  out += '"';
  out += key;  // keys are fixed lower-case names, nothing to escape
  out += "\":";
  append_json_string(out, value);
}

void append_member(std::string& out, std::string_view key, std::uint64_t value) {
  out += '"';
  out += key;
  out += "\":";
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void append_summary(std::string& out, const std::string& run_id, const Run& run) {
  out += '{';
  append_member(out, "run_id", run_id);
  out += ',';
  append_member(out, "plan_name", run.plan_name);
  out += ',';
  append_member(out, "studio_label", run.studio_label);
  out += ',';
  append_member(out, "observed_ip", run.observed_ip);
  out += ',';
  append_member(out, "status", run.status);
  out += ',';
  append_member(out, "events", static_cast<std::uint64_t>(run.events.size()));
  out += ',';
  append_member(out, "last_seen_ms", run.last_seen_ms);
  out += '}';
}

// The detail's length unless escaping lengthens a value: keys and punctuation, the values, and
// the held events with one comma each, so the text is written under the lock without regrowing.
std::size_t detail_size_hint(const std::string& run_id, const Run& run) {
  constexpr std::size_t kKeysAndPunctuation = 256;
  const std::size_t size = kKeysAndPunctuation + run_id.size() + run.plan_name.size() +
                           run.status.size() + run.studio_label.size() + run.studio_id.size() +
                           run.studio_version.size() + run.plan_version.size() +
                           run.plan_hash.size() + run.runner_host.size() + run.log_level.size() +
                           run.artifact_id.size() + run.observed_ip.size();
  return size + run.events.text_bytes() + run.events.size();
}

}  // namespace

Response run_list(RunStore& store, const std::string& data_dir) {
  std::string json;
  {
    std::lock_guard lock(store.mutex);
    std::vector<const RunMap::value_type*> entries;
    entries.reserve(store.runs.size());
    for (const RunMap::value_type& entry : store.runs) entries.push_back(&entry);
    std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
      return a->second.last_seen_ms > b->second.last_seen_ms;
    });
    constexpr std::size_t kSummaryBytes = 192;  // keys, counts and typical metadata of one run
    json.reserve(32 + data_dir.size() + entries.size() * kSummaryBytes);
    json += R"({"runs":[)";
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i != 0) json += ',';
      append_summary(json, entries[i]->first, entries[i]->second);
    }
    json += "],";
    append_member(json, "data_dir", data_dir);
    json += '}';
  }
  return json_text_response(std::move(json));
}

Response run_detail(RunStore& store, const std::string& run_id) {
  std::string json;
  {
    std::lock_guard lock(store.mutex);
    const auto found = store.runs.find(run_id);
    if (found == store.runs.end()) return json_text_response(std::string(kRunNotFoundJson));
    const Run& run = found->second;
    json.reserve(detail_size_hint(run_id, run));
    json += '{';
    append_member(json, "run_id", run_id);
    json += ',';
    append_member(json, "plan_name", run.plan_name);
    json += ',';
    append_member(json, "status", run.status);
    json += ',';
    append_member(json, "studio_label", run.studio_label);
    json += ',';
    append_member(json, "studio_id", run.studio_id);
    json += ',';
    append_member(json, "studio_version", run.studio_version);
    json += ',';
    append_member(json, "plan_version", run.plan_version);
    json += ',';
    append_member(json, "plan_hash", run.plan_hash);
    json += ',';
    append_member(json, "runner_host", run.runner_host);
    json += ',';
    append_member(json, "log_level", run.log_level);
    json += ',';
    append_member(json, "artifact_id", run.artifact_id);
    json += ',';
    append_member(json, "observed_ip", run.observed_ip);
    json += R"(,"events":[)";
    bool first = true;
    for (const auto& event : run.events) {
      if (!first) json += ',';
      first = false;
      json += std::string_view(event);  // already canonical text, sent as held
    }
    json += "]}";
  }
  return json_text_response(std::move(json));
}

Response run_download(RunStore& store, const std::string& run_id) {
  std::string body;
  {
    std::lock_guard lock(store.mutex);
    const auto found = store.runs.find(run_id);
    if (found == store.runs.end()) return text_response(404, "run not found");
    const Run& run = found->second;
    body.reserve(run.events.text_bytes() + run.events.size());
    for (const auto& event : run.events) {
      body += std::string_view(event);
      body += '\n';
    }
  }
  // The requested id equals the stored one byte for byte, so the name needs no lock.
  std::string disposition = "attachment; filename=\"";
  disposition += run_file_name(run_id);
  disposition += '"';
  Response response = text_response(200, std::string_view());
  response.body = std::move(body);
  add_header(response, "Content-Type", "application/x-ndjson");
  add_header(response, "Content-Disposition", disposition);
  return response;
}

Response dashboard_page() {
  Response response = text_response(200, dashboard_html());
  add_header(response, "Content-Type", "text/html; charset=utf-8");
  return response;
}

}  // namespace torvesk
