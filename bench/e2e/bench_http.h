// A blocking HTTP/1.1 client over loopback, just enough for the benchmark programs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace torvesk::bench {

// A connection that gives no answer for this long has failed; keeps a stuck run bounded.
inline constexpr int kSocketTimeoutSeconds = 60;
// An answer head larger than this is not from the monitor.
inline constexpr std::size_t kMaxAnswerHeadBytes = 64 * 1024;

inline int connect_loopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval timeout{kSocketTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool send_all(int fd, std::string_view head, std::string_view body) {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(body.data()), body.size()}};
  iovec* part = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t n = ::writev(fd, part, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    std::size_t left = static_cast<std::size_t>(n);
    while (count > 0 && left >= part->iov_len) {
      left -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + left;
      part->iov_len -= left;
    }
  }
  return true;
}

// Reads one answer; returns its status, or 0 on failure. `pending` keeps bytes read beyond it.
inline int read_answer(int fd, std::string& pending) {
  char buffer[16 * 1024];
  std::size_t head_end;
  while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (pending.size() > kMaxAnswerHeadBytes) return 0;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return 0;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string_view head(pending.data(), head_end);
  int status = 0;
  if (head.size() < 12) return 0;
  std::from_chars(head.data() + 9, head.data() + 12, status);
  std::size_t length = 0;
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
       at = head.find("\r\n", at + 2)) {
    const std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
    constexpr std::string_view kLength = "content-length:";
    if (line.size() > kLength.size()) {
      std::string lower(line.substr(0, kLength.size()));
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      if (lower == kLength) {
        std::string_view value = line.substr(kLength.size());
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        std::from_chars(value.data(), value.data() + value.size(), length);
      }
    }
  }
  const std::size_t total = head_end + 4 + length;
  while (pending.size() < total) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return 0;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
  pending.erase(0, total);
  return status;
}

}  // namespace torvesk::bench
