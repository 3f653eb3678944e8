#include "view/metrics_text.h"

#include <string>
#include <string_view>

namespace torvesk {
namespace {

// The exposition format's media type, version 0.0.4.
constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, std::string_view name, std::string_view labels, std::uint64_t value) {
  out.append(name).append(labels).append(" ").append(std::to_string(value)).append("\n");
}

std::uint64_t read(const std::atomic<std::uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

}  // namespace

Response metrics_answer(const Metrics& metrics, RunStore& store) {
  std::uint64_t runs = 0;
  std::uint64_t events = 0;
  store.read([&](const RunMap& held) {
    runs = held.size();
    for (const auto& [id, run] : held) events += run.events.size();
  });

  std::string out;
  family(out, "torvesk_runs_held", "gauge", "Runs held in memory.");
  sample(out, "torvesk_runs_held", "", runs);
  family(out, "torvesk_events_held", "gauge", "Events held in memory, over all runs.");
  sample(out, "torvesk_events_held", "", events);

  family(out, "torvesk_pushes_total", "counter", "Pushes to /ingest, by answer status.");
  bool any_push = false;
  for (std::size_t status = 0; status < metrics.pushes_by_status.size(); ++status) {
    const std::uint64_t count = read(metrics.pushes_by_status[status]);
    if (count == 0) continue;
    sample(out, "torvesk_pushes_total", "{status=\"" + std::to_string(status) + "\"}", count);
    any_push = true;
  }
  if (!any_push) sample(out, "torvesk_pushes_total", "{status=\"200\"}", 0);

  struct Single {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    std::uint64_t value;
  };
  const Single singles[] = {
      {"torvesk_ingest_bytes_total", "counter",
       "Bytes of event lines in accepted pushes, after decompression.",
       read(metrics.bytes_accepted)},
      {"torvesk_log_append_failures_total", "counter",
       "Appends to run log files that failed; those events are in memory only.",
       read(metrics.failed_appends)},
      {"torvesk_busy_answers_total", "counter",
       "Requests answered 503 busy because the request queue was full.",
       read(metrics.busy_answers)},
      {"torvesk_request_queue_depth", "gauge", "Requests waiting for a worker.",
       metrics.queue_depth ? metrics.queue_depth() : 0},
      {"torvesk_open_connections", "gauge", "Open client connections.",
       metrics.open_connections ? metrics.open_connections() : 0},
  };
  for (const Single& single : singles) {
    family(out, single.name, single.type, single.help);
    sample(out, single.name, "", single.value);
  }
  family(out, "torvesk_lines_dropped_total", "counter",
         "Pushed lines not stored: bad lines (not an event) and duplicates of held events.");
  sample(out, "torvesk_lines_dropped_total", "{reason=\"bad_line\"}", read(metrics.bad_lines));
  sample(out, "torvesk_lines_dropped_total", "{reason=\"duplicate\"}",
         read(metrics.duplicate_lines));

  Response response;
  response.status = 200;
  response.headers.push_back({"Content-Type", std::string(kMetricsContentType)});
  response.body = std::move(out);
  return response;
}

}  // namespace torvesk
