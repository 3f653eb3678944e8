// Black-box test support: starts the real monitor binary on a free loopback port with its own data
// folder and environment, reads its error stream, and speaks raw HTTP to it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace torvesk::testing {

using namespace std::chrono_literals;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct ProcessResult {
  int exit_status = -1;  // -1 when it did not exit in time (it is then killed)
  std::string stderr_text;
  std::string stdout_text;
};

// Runs the monitor to its end with exactly `env` as its environment.
ProcessResult run_monitor_to_exit(const std::map<std::string, std::string>& env,
                                  const std::vector<std::string>& args,
                                  std::chrono::milliseconds timeout = 10s);

struct MonitorOptions {
  std::map<std::string, std::string> env;  // the whole environment; MONITOR_DATA_DIR is added
  bool insecure_local = true;              // adds MONITOR_INSECURE_LOCAL=1
  std::optional<std::string> data_dir;     // default: a fresh folder owned by the process object
  std::string bind = "127.0.0.1";          // MONITOR_BIND, also the address the client uses
  std::optional<rlim_t> descriptor_limit;  // RLIMIT_NOFILE (soft and hard) of the process
};

// A running monitor; killed (by its pid) when the object goes.
class MonitorProcess {
 public:
  // Starts the monitor on a free port and waits for its banner; fails the test when it does not
  // come up.
  explicit MonitorProcess(MonitorOptions options = {});
  ~MonitorProcess();
  MonitorProcess(const MonitorProcess&) = delete;
  MonitorProcess& operator=(const MonitorProcess&) = delete;

  std::uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  const std::string& data_dir() const { return data_dir_; }
  pid_t pid() const { return pid_; }
  bool started() const { return started_; }
  std::string stderr_text() const;

  // Sends SIGKILL and reaps the process.
  void kill();

 private:
  bool launch(const std::map<std::string, std::string>& env, std::uint16_t port);

  std::optional<TempDir> owned_data_dir_;
  std::string data_dir_;
  std::string address_;
  std::optional<rlim_t> descriptor_limit_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool started_ = false;
  int stderr_fd_ = -1;
  std::thread stderr_reader_;
  mutable std::mutex stderr_mutex_;
  std::string stderr_text_;  // guarded by stderr_mutex_
};

// A port on which nothing listens right now (the kernel's choice for an ephemeral bind).
std::uint16_t free_loopback_port(const std::string& address = "127.0.0.1");

struct HttpResponse {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // received order
  std::string body;
  // The first header named `name` (ASCII case ignored), or nullopt.
  std::optional<std::string> header(std::string_view name) const;
};

// One TCP connection to the monitor. Every wait is bounded.
class Connection {
 public:
  // `source`, when given, is the local address the connection is made from (another loopback
  // address such as 127.0.0.2, so the monitor sees a second client).
  Connection(const std::string& address, std::uint16_t port, const std::string& source = {});
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(std::string_view bytes);
  // Reads one response (Content-Length framing; no body for `head_request`). nullopt when the
  // connection ends or times out first.
  std::optional<HttpResponse> read_response(std::chrono::milliseconds timeout = 10s,
                                            bool head_request = false);
  // True when the peer closes the connection in an orderly way (end of stream, not a reset)
  // within `timeout`; bytes that arrive before are dropped.
  bool closed_cleanly(std::chrono::milliseconds timeout = 5s);
  // True when the peer has sent nothing more and not closed within `timeout`.
  bool stays_silent(std::chrono::milliseconds timeout);
  void close();

 private:
  // Appends what arrives within `timeout` to `pending_`; false on end of stream, reset or timeout.
  bool receive_more(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string pending_;
  bool reset_seen_ = false;
};

// Opens a connection, sends a request and reads the answer.
std::optional<HttpResponse> http_request(
    const MonitorProcess& monitor, std::string_view method, std::string_view target,
    const std::vector<std::pair<std::string, std::string>>& headers = {},
    std::string_view body = {});

// Builds the bytes of a request; adds Host (the monitor's address) unless given, and
// Content-Length when there is a body.
std::string request_text(const MonitorProcess& monitor, std::string_view method,
                         std::string_view target,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         std::string_view body);

// POST /ingest with Content-Type application/x-ndjson.
std::optional<HttpResponse> ingest(
    const MonitorProcess& monitor, std::string_view body,
    const std::vector<std::pair<std::string, std::string>>& extra = {});

std::string read_file(const std::string& path);

// The lines of `text` split at line feeds, without them; no empty last line after a final one.
std::vector<std::string> lines_of(const std::string& text);

// The names of the five security headers, in the order every answer carries them.
const std::vector<std::string>& security_header_names();

}  // namespace torvesk::testing
