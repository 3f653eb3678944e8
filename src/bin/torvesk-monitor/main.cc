// torvesk-monitor [PORT]: start-up sequence, then the receiving loop until the listener fails.
#include <malloc.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "base/text.h"
#include "gate/dispatch.h"
#include "gate/server_state.h"
#include "server/config.h"
#include "server/http_server.h"
#include "server/request_queue.h"
#include "server/worker_pool.h"
#include "store/run_log.h"
#include "store/run_store.h"

namespace torvesk {
namespace {

// The allocator's settings. Fresh memory is dear on small virtual machines (a page fault there
// costs several microseconds, a megabyte some milliseconds), so the buffers of a request (bodies,
// batches, answers) come from the allocator's arenas and are reused by the next request, instead
// of being mapped and unmapped each time. Two arenas serve all threads: the hot paths allocate a
// few large buffers per request, so there is little to contend for, and each arena keeps at most
// kKeptFreeBytes of freed memory at its top, which bounds what a burst leaves behind.
constexpr int kMallocArenas = 2;
// Larger blocks are mapped on their own; above the largest default body and its batch.
constexpr int kSeparatelyMappedBytes = 64 * 1024 * 1024;
constexpr int kKeptFreeBytes = 32 * 1024 * 1024;

void configure_allocator() {
  mallopt(M_ARENA_MAX, kMallocArenas);
  mallopt(M_MMAP_THRESHOLD, kSeparatelyMappedBytes);
  mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
}

constexpr std::string_view kLockSign = "\xF0\x9F\x94\x92 ";  // U+1F512 and one space
constexpr std::string_view kWarningSign = "\xE2\x9A\xA0  ";  // U+26A0 and two spaces

void print_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Each connection costs a descriptor; the soft limit (often 1024) would refuse clients long
// before memory runs short, so it is raised to the hard limit.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::vector<std::optional<std::string>> arguments(int argc, char** argv) {
  std::vector<std::optional<std::string>> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg(argv[i]);
    if (is_valid_utf8(arg)) {
      args.emplace_back(std::move(arg));
    } else {
      args.emplace_back(std::nullopt);
    }
  }
  return args;
}

// An empty data folder text names the current folder, which always exists.
void create_data_folder(const std::string& data_dir) {
  if (data_dir.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(data_dir, error);
  if (error) {
    print_line("warning: data folder '" + data_dir + "' cannot be created: " + error.message() +
               " (persistence off)");
  }
}

// The banner goes out in one write, so a reader of the error stream sees it whole.
void print_banner(const MonitorConfig& config, std::size_t runs_loaded) {
  std::string text = "Torvesk monitor on http://" +
                     listening_address_text(config.bind_address, config.port) +
                     "  (ingest: POST /ingest, view: GET /; data in '" + config.data_dir +
                     "', runs loaded: " + std::to_string(runs_loaded) + ")\n";
  if (config.ingest_token.empty()) {
    text += std::string(kWarningSign) + "/ingest WITHOUT token (insecure local)\n";
  } else {
    text += std::string(kLockSign) + "/ingest protected by MONITOR_TOKEN (Bearer)\n";
  }
  if (config.read_token.empty()) {
    text += std::string(kWarningSign) + "reading WITHOUT token (insecure local, local Host only)\n";
  } else {
    text += std::string(kLockSign) +
            "reading protected by MONITOR_READ_TOKEN (browser: any user, password = token)\n";
  }
  for (const std::string& warning : config.startup_warnings) {
    text += std::string(kWarningSign) + warning + "\n";
  }
  text.pop_back();
  print_line(text);
}

int run(int argc, char** argv) {
  auto loaded = load_config(arguments(argc, argv));
  if (auto* failure = std::get_if<StartupFailure>(&loaded)) {
    print_line(failure->line);
    return 1;
  }
  MonitorConfig& config = std::get<MonitorConfig>(loaded);

  // Writes to a connection the client has closed must fail, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
  configure_allocator();

  auto started = HttpServer::start(config.bind_address, config.port, config.max_body_bytes,
                                   config.trusted_proxies);
  if (auto* error = std::get_if<std::string>(&started)) {
    print_line("cannot start the monitor on " +
               listening_address_text(config.bind_address, config.port) + ": " + *error);
    return 1;
  }
  std::unique_ptr<HttpServer> server = std::move(std::get<std::unique_ptr<HttpServer>>(started));

  auto store = std::make_shared<RunStore>();
  create_data_folder(config.data_dir);
  load_runs(config.data_dir, *store);
  const std::size_t runs_loaded = store->read([](const RunMap& runs) { return runs.size(); });
  print_banner(config, runs_loaded);

  auto state = std::make_shared<ServerState>(config.data_dir, config.ingest_token,
                                             config.read_token, config.max_body_bytes, store,
                                             config.rate_bytes_per_min, config.auth_fail_max);
  state->trusted_proxies = config.trusted_proxies;
  state->serve_metrics = config.serve_metrics;
  const std::size_t workers = static_cast<std::size_t>(std::min<std::uint64_t>(
      config.workers, std::numeric_limits<std::size_t>::max() / kQueuePlacesPerWorker));
  auto queue = std::make_shared<RequestQueue<Exchange>>(workers * kQueuePlacesPerWorker);
  // The gauges are set before any worker can read them.
  state->metrics.queue_depth = [queue] { return queue->size(); };
  state->metrics.open_connections = [server = server.get()] { return server->open_connections(); };
  if (auto error = start_workers(
          workers, *queue, [state](Request& request) { return handle_request(request, *state); })) {
    print_line("cannot start the worker threads: " + *error);
    // Workers already started wait on the queue; end without destroying it under them.
    std::_Exit(1);
  }

  receive_loop(*server, *queue, state->metrics);
  // The listener has failed. Workers still busy are abandoned, not joined: end here, without
  // running destructors that they may still depend on.
  std::fflush(stderr);
  std::_Exit(0);
}

}  // namespace
}  // namespace torvesk

int main(int argc, char** argv) { return torvesk::run(argc, argv); }
