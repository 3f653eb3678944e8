// torvesk-runner-sim: pushes simulated workflow runs to a monitor the way runners do, or writes
// one request body of distinct events to a file for benchmarks.
#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gate/gzip_body.h"
#include "runner_sim/sim_events.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using torvesk::sim::RunSpec;

// A push that takes longer than this is abandoned and counted as failed.
constexpr std::chrono::seconds kRequestTimeout{30};
// The body size of the benchmark file unless --bytes says otherwise: the monitor's default limit.
constexpr std::size_t kDefaultBatchBytes = 8 * 1024 * 1024;

constexpr char kUsage[] =
    "usage: torvesk-runner-sim [options]\n"
    "  --url URL          monitor address, http://host:port[/path] or host:port\n"
    "                     (default http://127.0.0.1:8787, path /ingest)\n"
    "  --token TOKEN      ingest token (default: $MONITOR_TOKEN; none when both are empty)\n"
    "  --runs N           runs to push, interleaved like concurrent runners (default 3)\n"
    "  --events N         events per run (default 200; a run never has fewer than its skeleton)\n"
    "  --rate R           batches per second, 0 for as fast as possible (default 10)\n"
    "  --batch-size N     event lines per push (default 50)\n"
    "  --seed N           seed of the simulated runs (default 1)\n"
    "  --gzip             send each push compressed (Content-Encoding: gzip)\n"
    "  --write-batch FILE write one body of distinct events to FILE instead of pushing\n"
    "  --bytes N          size limit of that body (default 8388608)\n";

struct Options {
  bool help = false;
  bool gzip = false;
  std::string url = "http://127.0.0.1:8787";
  std::optional<std::string> token;
  std::uint64_t runs = 3;
  std::uint64_t events = 200;
  double rate = 10;
  std::uint64_t batch_size = 50;
  std::uint64_t seed = 1;
  std::optional<std::string> write_batch;
  std::uint64_t bytes = kDefaultBatchBytes;
};

std::optional<std::uint64_t> parse_count(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      return options;
    }
    if (name == "--gzip") {
      options.gzip = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "missing value after " << name << "\n";
      return std::nullopt;
    }
    const std::string_view value = argv[++i];
    std::optional<std::uint64_t> count;
    if (name == "--url" || name == "--address") {
      options.url = value;
      continue;
    }
    if (name == "--token") {
      options.token = std::string(value);
      continue;
    }
    if (name == "--write-batch") {
      options.write_batch = std::string(value);
      continue;
    }
    if (name == "--rate") {
      char* end = nullptr;
      const std::string text(value);
      options.rate = std::strtod(text.c_str(), &end);
      if (end != text.c_str() + text.size() || !(options.rate >= 0)) {
        std::cerr << "--rate needs a number of batches per second\n";
        return std::nullopt;
      }
      continue;
    }
    count = parse_count(value);
    if (!count) {
      std::cerr << name << " needs a whole number\n";
      return std::nullopt;
    }
    if (name == "--runs") {
      options.runs = *count;
    } else if (name == "--events") {
      options.events = *count;
    } else if (name == "--batch-size") {
      options.batch_size = std::max<std::uint64_t>(1, *count);
    } else if (name == "--seed") {
      options.seed = *count;
    } else if (name == "--bytes") {
      options.bytes = *count;
    } else {
      std::cerr << "unknown option " << name << "\n";
      return std::nullopt;
    }
  }
  if (!options.token) {
    const char* env = std::getenv("MONITOR_TOKEN");
    options.token = env ? env : "";
  }
  return options;
}

struct Endpoint {
  std::string host;
  std::string port;
  std::string target;
};

// http://host:port/path, host:port, [v6]:port; the path defaults to /ingest.
std::optional<Endpoint> parse_url(std::string_view url) {
  if (url.starts_with("http://")) url.remove_prefix(7);
  if (url.starts_with("https://")) return std::nullopt;  // plain HTTP only
  Endpoint endpoint{"", "8787", "/ingest"};
  const std::size_t slash = url.find('/');
  if (slash != std::string_view::npos) {
    endpoint.target = std::string(url.substr(slash));
    url = url.substr(0, slash);
  }
  if (url.starts_with('[')) {
    const std::size_t close = url.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    endpoint.host = std::string(url.substr(1, close - 1));
    url.remove_prefix(close + 1);
    if (url.starts_with(':')) endpoint.port = std::string(url.substr(1));
  } else if (const std::size_t colon = url.rfind(':'); colon != std::string_view::npos) {
    endpoint.host = std::string(url.substr(0, colon));
    endpoint.port = std::string(url.substr(colon + 1));
  } else {
    endpoint.host = std::string(url);
  }
  if (endpoint.host.empty() || endpoint.port.empty()) return std::nullopt;
  return endpoint;
}

// One keep-alive connection, reopened after any failure.
class Pusher {
 public:
  Pusher(Endpoint endpoint, std::string token, bool gzip)
      : endpoint_(std::move(endpoint)), token_(std::move(token)), gzip_(gzip) {}

  // The status, or 0 when the exchange failed (connection refused, timeout, reset).
  unsigned push(std::string body) {
    try {
      if (!stream_) connect();
      http::request<http::string_body> request{http::verb::post, endpoint_.target, 11};
      request.set(http::field::host, endpoint_.host + ":" + endpoint_.port);
      request.set(http::field::content_type, "application/x-ndjson");
      if (!token_.empty()) request.set(http::field::authorization, "Bearer " + token_);
      if (gzip_) {
        request.set(http::field::content_encoding, "gzip");
        body = torvesk::deflate_gzip(body);
      }
      request.body() = std::move(body);
      request.prepare_payload();
      stream_->expires_after(kRequestTimeout);
      http::write(*stream_, request);
      http::response<http::string_body> response;
      http::read(*stream_, buffer_, response);
      const unsigned status = response.result_int();
      if (!response.keep_alive()) stream_.reset();
      if (status != 200 && reported_.emplace(status).second) {
        std::cerr << "monitor answered " << status << ": " << response.body() << "\n";
      }
      return status;
    } catch (const std::exception& error) {
      std::cerr << "push failed: " << error.what() << "\n";
      stream_.reset();
      return 0;
    }
  }

 private:
  void connect() {
    asio::ip::tcp::resolver resolver(io_);
    stream_.emplace(io_);
    stream_->expires_after(kRequestTimeout);
    stream_->connect(resolver.resolve(endpoint_.host, endpoint_.port));
    buffer_.clear();
  }

  Endpoint endpoint_;
  std::string token_;
  bool gzip_;
  asio::io_context io_;
  std::optional<beast::tcp_stream> stream_;
  beast::flat_buffer buffer_;
  std::set<unsigned> reported_;  // each refusal kind is printed once
};

int write_batch_file(const Options& options) {
  const std::uint64_t start_ms = 1'700'000'000'000 + options.seed * 3'600'000;
  const std::string batch =
      torvesk::sim::simulated_batch(options.seed, options.events, start_ms, options.bytes);
  std::ofstream file(*options.write_batch, std::ios::binary | std::ios::trunc);
  file.write(batch.data(), static_cast<std::streamsize>(batch.size()));
  file.close();
  if (!file) {
    std::cerr << "cannot write " << *options.write_batch << "\n";
    return 1;
  }
  const auto lines = std::count(batch.begin(), batch.end(), '\n');
  std::cout << "wrote " << batch.size() << " bytes, " << lines << " events to "
            << *options.write_batch << "\n";
  return 0;
}

int push_runs(const Options& options) {
  const std::optional<Endpoint> endpoint = parse_url(options.url);
  if (!endpoint) {
    std::cerr << "cannot read the address " << options.url << "\n";
    return 2;
  }
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto start_ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());

  struct ActiveRun {
    std::vector<std::string> lines;
    std::size_t next = 0;
  };
  std::vector<ActiveRun> runs;
  for (std::uint32_t index = 0; index < options.runs; ++index) {
    runs.push_back({torvesk::sim::simulate_run(
                        RunSpec{options.seed, index, options.events, start_ms + index * 1000ull}),
                    0});
  }

  Pusher pusher(*endpoint, *options.token, options.gzip);
  std::map<unsigned, std::uint64_t> statuses;
  std::uint64_t batches = 0, lines = 0, bytes = 0;
  const auto began = std::chrono::steady_clock::now();
  auto next_send = began;
  const auto interval = options.rate > 0
                            ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(1.0 / options.rate))
                            : std::chrono::steady_clock::duration::zero();
  // Round robin over the runs, one batch of one run per push, as concurrent runners would.
  for (bool pending = true; pending;) {
    pending = false;
    for (ActiveRun& run : runs) {
      if (run.next == run.lines.size()) continue;
      std::string body;
      const std::size_t end = std::min(run.lines.size(), run.next + options.batch_size);
      for (; run.next < end; ++run.next) {
        body += run.lines[run.next];
        body += '\n';
        ++lines;
      }
      bytes += body.size();
      std::this_thread::sleep_until(next_send);
      next_send += interval;
      ++statuses[pusher.push(std::move(body))];
      ++batches;
      pending = pending || run.next < run.lines.size();
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  std::cout << "pushed " << options.runs << " runs: " << batches << " batches, " << lines
            << " events, " << bytes << " bytes in " << took.count() << " s;";
  for (const auto& [status, count] : statuses) {
    std::cout << " " << (status == 0 ? std::string("failed") : std::to_string(status)) << " x"
              << count;
  }
  std::cout << "\n";
  return statuses.size() == 1 && statuses.count(200) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parse_options(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  if (options->help) {
    std::cout << kUsage;
    return 0;
  }
  if (options->write_batch) return write_batch_file(*options);
  return push_runs(*options);
}
