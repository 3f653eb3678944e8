#include "view/read_api.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "store/json.h"
#include "store/run_log.h"

namespace torvesk {
namespace {

constexpr std::string_view kRunNotFoundJson = R"({"error":"run not found"})";

// Most bytes a JSON string of `text` takes: two quotes and at most six bytes ("\u00XX") per byte.
std::size_t json_string_room(std::string_view text) { return 2 + 6 * text.size(); }

char* write_text(char* p, std::string_view text) {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Writes `text` as a JSON string at `p`, which has json_string_room(text) bytes, escaped exactly
// like the canonical text of the held events: quote, backslash, \b \t \n \f \r, other controls
// as lower-case \u00XX, every other byte as it stands. Returns the end of what was written.
char* write_json_string(char* p, std::string_view text) {
  *p++ = '"';
  p = write_escaped_characters(p, text);
  *p++ = '"';
  return p;
}

// `"key":` followed by the value as a JSON string or as a decimal number. Keys are fixed
// lower-case names, nothing to escape.
char* write_member(char* p, std::string_view key, std::string_view value) {
  *p++ = '"';
  p = write_text(p, key);
  p = write_text(p, "\":");
  return write_json_string(p, value);
}

char* write_member(char* p, std::string_view key, std::uint64_t value) {
  *p++ = '"';
  p = write_text(p, key);
  p = write_text(p, "\":");
  return std::to_chars(p, p + 20, value).ptr;
}

// Grows `out` by `room` bytes, lets `write` fill them from their start and return its end, and
// cuts `out` back to what was written.
template <class Write>
void append_written(std::string& out, std::size_t room, Write&& write) {
  const std::size_t old_size = out.size();
  out.resize(old_size + room);
  char* const end = write(out.data() + old_size);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

void append_member(std::string& out, std::string_view key, std::string_view value) {
  append_written(out, key.size() + 3 + json_string_room(value),
                 [&](char* p) { return write_member(p, key, value); });
}

// Keys, punctuation and the two numbers of one summary.
constexpr std::size_t kSummaryFixedRoom = 192;

void append_summary(std::string& out, const std::string& run_id, const Run& run) {
  const std::size_t room = kSummaryFixedRoom + json_string_room(run_id) +
                           json_string_room(run.plan_name) + json_string_room(run.studio_label) +
                           json_string_room(run.observed_ip) + json_string_room(run.status);
  append_written(out, room, [&](char* p) {
    *p++ = '{';
    p = write_member(p, "run_id", run_id);
    *p++ = ',';
    p = write_member(p, "plan_name", run.plan_name);
    *p++ = ',';
    p = write_member(p, "studio_label", run.studio_label);
    *p++ = ',';
    p = write_member(p, "observed_ip", run.observed_ip);
    *p++ = ',';
    p = write_member(p, "status", run.status);
    *p++ = ',';
    p = write_member(p, "events", static_cast<std::uint64_t>(run.events.size()));
    *p++ = ',';
    p = write_member(p, "last_seen_ms", run.last_seen_ms);
    *p++ = '}';
    return p;
  });
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
  const std::shared_ptr<const std::string> body =
      store.read_run_list([&](const RunMap& runs, std::uint64_t generation, CachedAnswer& cached) {
        if (cached.body && cached.generation == generation && cached.key == data_dir) {
          return cached.body;
        }
        std::vector<const RunMap::value_type*> entries;
        entries.reserve(runs.size());
        for (const RunMap::value_type& entry : runs) entries.push_back(&entry);
        std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
          return a->second.last_seen_ms > b->second.last_seen_ms;
        });
        constexpr std::size_t kSummaryBytes = 192;  // keys, counts and typical metadata of one run
        std::string json;
        json.reserve(32 + data_dir.size() + entries.size() * kSummaryBytes);
        json += R"({"runs":[)";
        for (std::size_t i = 0; i < entries.size(); ++i) {
          if (i != 0) json += ',';
          append_summary(json, entries[i]->first, entries[i]->second);
        }
        json += "],";
        append_member(json, "data_dir", data_dir);
        json += '}';
        auto built = std::make_shared<const std::string>(std::move(json));
        cached = CachedAnswer{generation, data_dir, built};
        return std::shared_ptr<const std::string>(std::move(built));
      });
  // The copy is made after the lock is released; the cached text is never changed, only
  // replaced.
  return json_text_response(std::string(*body));
}

Response run_detail(RunStore& store, const std::string& run_id) {
  std::string json;
  const bool found = store.read([&](const RunMap& runs) {
    const auto found = runs.find(run_id);
    if (found == runs.end()) return false;
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
    return true;
  });
  if (!found) return json_text_response(std::string(kRunNotFoundJson));
  return json_text_response(std::move(json));
}

Response run_download(RunStore& store, const std::string& run_id) {
  std::string body;
  const bool found = store.read([&](const RunMap& runs) {
    const auto found = runs.find(run_id);
    if (found == runs.end()) return false;
    const Run& run = found->second;
    body.reserve(run.events.text_bytes() + run.events.size());
    for (const auto& event : run.events) {
      body += std::string_view(event);
      body += '\n';
    }
    return true;
  });
  if (!found) return text_response(404, "run not found");
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
