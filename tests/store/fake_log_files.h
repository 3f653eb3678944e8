// A LogFileSystem over the real one that records the appends and can be told to fail.
#pragma once

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "store/run_log.h"

namespace torvesk::testing {

class FakeLogFiles : public LogFileSystem {
 public:
  int open_append(const std::string& path) override {
    std::lock_guard lock(mutex_);
    if (on_open) on_open(path);
    ++opens[path];
    if (fail_open) {
      errno = EACCES;
      return -1;
    }
    return real().open_append(path);
  }
  off_t size(int fd) override { return real().size(fd); }
  ssize_t read_at(int fd, void* data, std::size_t size, off_t offset) override {
    return real().read_at(fd, data, size, offset);
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    std::lock_guard lock(mutex_);
    ++write_calls;
    if (interrupt_every_other_write && write_calls % 2 == 1) {
      errno = EINTR;
      return -1;
    }
    if (bytes_before_failure) {
      if (*bytes_before_failure == 0) {
        errno = ENOSPC;
        return -1;
      }
      size = std::min(size, *bytes_before_failure);
      *bytes_before_failure -= size;
    }
    if (max_bytes_per_write != 0) size = std::min(size, max_bytes_per_write);
    return real().write(fd, data, size);
  }
  int close(int fd) override { return real().close(fd); }
  bool read_file(const std::string& path, std::string& contents) override {
    return real().read_file(path, contents);
  }

  // Settings, set before use.
  bool fail_open = false;
  bool interrupt_every_other_write = false;
  std::size_t max_bytes_per_write = 0;  // 0: no limit
  std::optional<std::size_t> bytes_before_failure;
  std::function<void(const std::string& path)> on_open;

  // Observations.
  std::map<std::string, int> opens;
  int write_calls = 0;

 private:
  static LogFileSystem& real() { return system_log_files(); }
  std::mutex mutex_;
};

}  // namespace torvesk::testing
