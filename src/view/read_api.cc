#include "view/read_api.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <vector>

#include "store/json.h"
#include "store/run_log.h"

namespace torvesk {
namespace {

constexpr std::string_view kRunNotFoundJson = R"({"error":"run not found"})";

// Most digits of a std::uint64_t in decimal.
constexpr std::size_t kMaxDecimalDigits = 20;

// `text` as a JSON string, escaped exactly like the canonical text of the held events: quote,
// backslash, \b \t \n \f \r, other controls as lower-case \u00XX, every other byte as it stands.
void append_json_string(TextBuffer& out, std::string_view text) {
  out.push_back('"');
  append_escaped_characters(out, text);
  out.push_back('"');
}

// `"key":` followed by the value as a JSON string or as a decimal number. Keys are fixed
// lower-case names, nothing to escape.
void append_key(TextBuffer& out, std::string_view key) {
  out.push_back('"');
  out.append(key);
  out.append("\":");
}

void append_member(TextBuffer& out, std::string_view key, std::string_view value) {
  append_key(out, key);
  append_json_string(out, value);
}

void append_member(TextBuffer& out, std::string_view key, std::uint64_t value) {
  append_key(out, key);
  char* const p = out.claim(kMaxDecimalDigits);
  out.commit(std::to_chars(p, p + kMaxDecimalDigits, value).ptr);
}

void append_summary(TextBuffer& out, const std::string& run_id, const Run& run) {
  out.push_back('{');
  append_member(out, "run_id", run_id);
  out.push_back(',');
  append_member(out, "plan_name", run.plan_name);
  out.push_back(',');
  append_member(out, "studio_label", run.studio_label);
  out.push_back(',');
  append_member(out, "observed_ip", run.observed_ip);
  out.push_back(',');
  append_member(out, "status", run.status);
  out.push_back(',');
  append_member(out, "events", static_cast<std::uint64_t>(run.events.size()));
  out.push_back(',');
  append_member(out, "last_seen_ms", run.last_seen_ms);
  out.push_back('}');
}

// The detail's length unless escaping lengthens a value: keys and punctuation, the values, and
// the held events with one comma each, so that the text is usually written under the lock
// without regrowing.
std::size_t detail_size_hint(const std::string& run_id, const Run& run) {
  constexpr std::size_t kKeysAndPunctuation = 256;
  std::size_t size = kKeysAndPunctuation + run_id.size() + run.status.size();
  for (const RunTextField& field : kRunFields) size += (run.*field.member).size();
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
        TextBuffer json = TextBuffer::for_string();
        json.reserve(32 + data_dir.size() + entries.size() * kSummaryBytes);
        json.append(R"({"runs":[)");
        for (std::size_t i = 0; i < entries.size(); ++i) {
          if (i != 0) json.push_back(',');
          append_summary(json, entries[i]->first, entries[i]->second);
        }
        json.append("],");
        append_member(json, "data_dir", data_dir);
        json.push_back('}');
        auto built = std::make_shared<const std::string>(json.take_string());
        cached = CachedAnswer{generation, data_dir, built};
        return std::shared_ptr<const std::string>(std::move(built));
      });
  // The copy is made after the lock is released; the cached text is never changed, only
  // replaced.
  return json_text_response(std::string(*body));
}

Response run_detail(RunStore& store, const std::string& run_id) {
  TextBuffer json = TextBuffer::for_string();
  const bool found = store.read([&](const RunMap& runs) {
    const auto found = runs.find(run_id);
    if (found == runs.end()) return false;
    const Run& run = found->second;
    json.reserve(detail_size_hint(run_id, run));
    json.push_back('{');
    append_member(json, "run_id", run_id);
    for (std::size_t i = 0; i < kRunFields.size(); ++i) {
      json.push_back(',');
      append_member(json, kRunFields[i].name, run.*kRunFields[i].member);
      if (i == 0) {
        // The answer has the status right after the first field, plan_name.
        json.push_back(',');
        append_member(json, "status", run.status);
      }
    }
    json.append(R"(,"events":[)");
    bool first = true;
    for (const auto& event : run.events) {
      if (!first) json.push_back(',');
      first = false;
      json.append(std::string_view(event));  // already canonical text, sent as held
    }
    json.append("]}");
    return true;
  });
  if (!found) return json_text_response(std::string(kRunNotFoundJson));
  return json_text_response(json.take_string());
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
