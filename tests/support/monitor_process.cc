#include "support/monitor_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace torvesk::testing {
namespace {

// How long a started monitor may take to print its banner (sanitizer builds start slowly).
constexpr auto kStartTimeout = 20s;
// A port taken between our probe and the monitor's bind is retried this often.
constexpr int kStartAttempts = 5;

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> environment_strings(const std::map<std::string, std::string>& env) {
  std::vector<std::string> strings;
  for (const auto& [name, value] : env) strings.push_back(name + "=" + value);
  return strings;
}

// fork + exec of the monitor with exactly `env`; stdout and stderr go to the given descriptors.
pid_t spawn_monitor(const std::map<std::string, std::string>& env,
                    const std::vector<std::string>& args, int stdout_fd, int stderr_fd,
                    std::optional<rlim_t> descriptor_limit = std::nullopt) {
  std::vector<std::string> env_strings = environment_strings(env);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string binary = TORVESK_MONITOR_BINARY;
  std::vector<std::string> arg_strings{binary};
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(stdout_fd, STDOUT_FILENO);
    dup2(stderr_fd, STDERR_FILENO);
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    if (descriptor_limit) {
      const rlimit limit{*descriptor_limit, *descriptor_limit};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

std::string drain_fd(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return text;
  }
}

// Sanitizer runtimes read these from the environment; keep them when tests give a whole
// environment of their own.
void keep_sanitizer_settings(std::map<std::string, std::string>& env) {
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name); value != nullptr && !env.contains(name)) {
      env[name] = value;
    }
  }
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "torvesk-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may have made parts read-only; give permissions back so everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

ProcessResult run_monitor_to_exit(const std::map<std::string, std::string>& env_in,
                                  const std::vector<std::string>& args,
                                  std::chrono::milliseconds timeout) {
  std::map<std::string, std::string> env = env_in;
  keep_sanitizer_settings(env);
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  const pid_t pid = spawn_monitor(env, args, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProcessResult result;
  std::thread out_reader([&] { result.stdout_text = drain_fd(out_pipe[0]); });
  std::thread err_reader([&] { result.stderr_text = drain_fd(err_pipe[0]); });

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  bool exited = false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (!exited) {
    ::kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  out_reader.join();
  err_reader.join();
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.exit_status = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::uint16_t free_loopback_port(const std::string& address) {
  const bool v6 = address.find(':') != std::string::npos;
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
    length = sizeof(sockaddr_in);
  }
  std::uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
    port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  }
  close(fd);
  return port;
}

MonitorProcess::MonitorProcess(MonitorOptions options)
    : address_(options.bind), descriptor_limit_(options.descriptor_limit) {
  if (options.data_dir) {
    data_dir_ = *options.data_dir;
  } else {
    owned_data_dir_.emplace();
    data_dir_ = owned_data_dir_->path() + "/data";
  }
  std::map<std::string, std::string> env = options.env;
  env["MONITOR_DATA_DIR"] = data_dir_;
  if (options.insecure_local) env["MONITOR_INSECURE_LOCAL"] = "1";
  if (options.bind != "127.0.0.1") env["MONITOR_BIND"] = options.bind;
  keep_sanitizer_settings(env);
  for (int attempt = 0; attempt < kStartAttempts && !started_; ++attempt) {
    started_ = launch(env, free_loopback_port(address_));
  }
  if (!started_) {
    ADD_FAILURE() << "the monitor did not start; its error stream:\n" << stderr_text();
  }
}

bool MonitorProcess::launch(const std::map<std::string, std::string>& env, std::uint16_t port) {
  kill();
  {
    std::lock_guard lock(stderr_mutex_);
    stderr_text_.clear();
  }
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return false;
  const int devnull = open("/dev/null", O_WRONLY);
  pid_ = spawn_monitor(env, {std::to_string(port)}, devnull, err_pipe[1], descriptor_limit_);
  close(devnull);
  close(err_pipe[1]);
  stderr_fd_ = err_pipe[0];
  stderr_reader_ = std::thread([this] {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(stderr_fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      std::lock_guard lock(stderr_mutex_);
      stderr_text_.append(buffer, static_cast<std::size_t>(n));
    }
  });
  port_ = port;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = stderr_text();
    if (text.find("Torvesk monitor on http://") != std::string::npos &&
        text.find('\n', text.find("Torvesk monitor on")) != std::string::npos) {
      // The banner comes after the bind; connections are accepted from here on.
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

MonitorProcess::~MonitorProcess() { kill(); }

void MonitorProcess::kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (stderr_reader_.joinable()) stderr_reader_.join();
  if (stderr_fd_ >= 0) {
    close(stderr_fd_);
    stderr_fd_ = -1;
  }
}

std::string MonitorProcess::stderr_text() const {
  std::lock_guard lock(stderr_mutex_);
  return stderr_text_;
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (ieq(n, name)) return v;
  }
  return std::nullopt;
}

Connection::Connection(const std::string& address, std::uint16_t port, const std::string& source) {
  const bool v6 = address.find(':') != std::string::npos;
  fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto socket_address = [v6](const std::string& text, std::uint16_t in_port,
                                   sockaddr_storage& storage) -> socklen_t {
    storage = {};
    if (v6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
      in6->sin6_family = AF_INET6;
      in6->sin6_port = htons(in_port);
      inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr);
      return sizeof(sockaddr_in6);
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(in_port);
    inet_pton(AF_INET, text.c_str(), &in4->sin_addr);
    return sizeof(sockaddr_in);
  };
  sockaddr_storage storage{};
  if (!source.empty()) {
    const socklen_t length = socket_address(source, 0, storage);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
      ADD_FAILURE() << "cannot bind the client to " << source << ": " << std::strerror(errno);
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  const socklen_t length = socket_address(address, port, storage);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Connection::~Connection() { close(); }

void Connection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Connection::send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return bytes.empty();
}

bool Connection::receive_more(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd pfd{fd_, POLLIN, 0};
  const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
  if (ready <= 0) return false;
  char buffer[65536];
  const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
  if (n < 0 && errno == ECONNRESET) reset_seen_ = true;
  if (n <= 0) return false;
  pending_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<HttpResponse> Connection::read_response(std::chrono::milliseconds timeout,
                                                      bool head_request) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Interim 1xx answers are returned like any other, so tests can see them.
    const std::size_t head_end = pending_.find("\r\n\r\n");
    if (head_end != std::string::npos) {
      HttpResponse response;
      std::istringstream head(pending_.substr(0, head_end));
      std::string line;
      std::getline(head, line);
      if (line.size() < 12) return std::nullopt;
      response.status = std::atoi(line.substr(9, 3).c_str());
      std::size_t content_length = 0;
      while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        if (ieq(name, "content-length")) content_length = std::stoull(value);
        response.headers.emplace_back(std::move(name), std::move(value));
      }
      if (head_request || response.status < 200) content_length = 0;
      while (pending_.size() < head_end + 4 + content_length) {
        if (!receive_more(deadline)) return std::nullopt;
      }
      response.body = pending_.substr(head_end + 4, content_length);
      pending_.erase(0, head_end + 4 + content_length);
      return response;
    }
    if (!receive_more(deadline)) return std::nullopt;
  }
}

bool Connection::closed_cleanly(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (receive_more(deadline)) pending_.clear();
  if (fd_ < 0 || reset_seen_) return false;
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, 0) <= 0) return false;  // timed out, still open
  char byte;
  return recv(fd_, &byte, 1, 0) == 0;
}

bool Connection::stays_silent(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return false;
  pollfd pfd{fd_, POLLIN, 0};
  return poll(&pfd, 1, static_cast<int>(timeout.count())) == 0;
}

std::string request_text(const MonitorProcess& monitor, std::string_view method,
                         std::string_view target,
                         const std::vector<std::pair<std::string, std::string>>& headers,
                         std::string_view body) {
  std::string text;
  text.append(method).append(" ").append(target).append(" HTTP/1.1\r\n");
  bool has_host = false;
  bool has_length = false;
  for (const auto& [name, value] : headers) {
    has_host = has_host || ieq(name, "host");
    has_length = has_length || ieq(name, "content-length") || ieq(name, "transfer-encoding");
    text.append(name).append(": ").append(value).append("\r\n");
  }
  if (!has_host) {
    const bool v6 = monitor.address().find(':') != std::string::npos;
    text.append("Host: ")
        .append(v6 ? "[" + monitor.address() + "]" : monitor.address())
        .append(":" + std::to_string(monitor.port()) + "\r\n");
  }
  if (!has_length && (!body.empty() || method == "POST")) {
    text.append("Content-Length: " + std::to_string(body.size()) + "\r\n");
  }
  text.append("\r\n").append(body);
  return text;
}

std::optional<HttpResponse> http_request(
    const MonitorProcess& monitor, std::string_view method, std::string_view target,
    const std::vector<std::pair<std::string, std::string>>& headers, std::string_view body) {
  Connection connection(monitor.address(), monitor.port());
  if (!connection.connected()) return std::nullopt;
  if (!connection.send(request_text(monitor, method, target, headers, body))) return std::nullopt;
  return connection.read_response(10s, method == "HEAD");
}

std::optional<HttpResponse> ingest(const MonitorProcess& monitor, std::string_view body,
                                   const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::pair<std::string, std::string>> headers{
      {"Content-Type", "application/x-ndjson"}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  return http_request(monitor, "POST", "/ingest", headers, body);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

const std::vector<std::string>& security_header_names() {
  static const std::vector<std::string> names{"Content-Security-Policy", "X-Content-Type-Options",
                                              "X-Frame-Options", "Referrer-Policy",
                                              "Cache-Control"};
  return names;
}

}  // namespace torvesk::testing
