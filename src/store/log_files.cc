#include "store/log_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "base/text.h"

namespace torvesk {
namespace {

constexpr std::string_view kLogExtension = "ndjson";
constexpr std::string_view kUnnamedRunFile = "unknown";

// A signal storm must not keep a worker in the write loop for ever.
constexpr int kMaxInterruptedWrites = 100;

class SystemLogFiles final : public LogFileSystem {
 public:
  int open_append(const std::string& path) override {
    // Only a regular file in the folder itself is written: no link is followed out of it, and a
    // named pipe or a device fails at once instead of holding the worker in the open or a write.
    const int fd = ::open(path.c_str(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      ::close(fd);
      errno = EINVAL;
      return -1;
    }
    return fd;
  }
  off_t size(int fd) override {
    struct stat status;
    if (::fstat(fd, &status) != 0) return -1;
    return status.st_size;
  }
  ssize_t read_at(int fd, void* data, std::size_t size, off_t offset) override {
    return ::pread(fd, data, size, offset);
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    return ::write(fd, data, size);
  }
  int close(int fd) override { return ::close(fd); }

  bool read_file(const std::string& path, std::string& contents) override {
    // Non-blocking, so a named pipe in the folder cannot stall the start-up; only regular files
    // are read, and no link is followed out of the folder.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat status;
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    contents.clear();
    if (ok) contents.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[1 << 16];
    while (ok) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
  }
};

// Writes all of `text`, continuing after a partial write and retrying an interrupted one.
bool write_all(LogFileSystem& files, int fd, std::string_view text) {
  int interrupted = 0;
  while (!text.empty()) {
    const ssize_t n = files.write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR && ++interrupted <= kMaxInterruptedWrites) continue;
      return false;
    }
    if (n == 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// True when the file is empty or its last byte is a line feed; an unreadable end counts as one.
bool ends_with_whole_line(LogFileSystem& files, int fd) {
  const off_t size = files.size(fd);
  if (size <= 0) return true;
  char last = '\n';
  if (files.read_at(fd, &last, 1, size - 1) != 1) return true;
  return last == '\n';
}

}  // namespace

bool has_log_extension(std::string_view file_name) {
  // The extension follows the last dot, unless that dot starts the name (".ndjson" has none).
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  return file_name.substr(dot + 1) == kLogExtension;
}

LogFileSystem& system_log_files() {
  static SystemLogFiles files;
  return files;
}

std::string run_file_name(std::string_view run_id) {
  std::string name;
  name.reserve(run_id.size() + kLogExtension.size() + 1);
  for (std::size_t i = 0; i < run_id.size(); ++i) {
    const auto c = static_cast<unsigned char>(run_id[i]);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
      name.push_back(static_cast<char>(c));
    } else if (c < 0x80 || c >= 0xc0) {
      // An ASCII character or the first byte of a longer one.
      name.push_back('_');
    } else if (i == 0 || static_cast<unsigned char>(run_id[i - 1]) < 0x80) {
      // A continuation byte with no lead byte before it (not valid UTF-8): a character of its own.
      name.push_back('_');
    }
  }
  if (name.empty()) name = kUnnamedRunFile;
  name.push_back('.');
  name.append(kLogExtension);
  return name;
}

bool append_run_log(const std::string& data_dir, std::string_view run_id, std::string_view text) {
  return append_run_log(data_dir, run_id, text, system_log_files());
}

bool append_run_log(const std::string& data_dir, std::string_view run_id, std::string_view text,
                    LogFileSystem& files) {
  if (text.empty()) return true;
  const std::string path = (std::filesystem::path(data_dir) / run_file_name(run_id)).string();
  const int fd = files.open_append(path);
  if (fd < 0) return false;
  // An earlier append that failed part-way left a broken last line: end it, so the broken line
  // stays alone and these lines are not glued to it.
  bool ok = true;
  if (!ends_with_whole_line(files, fd)) ok = write_all(files, fd, "\n");
  if (ok) ok = write_all(files, fd, text);
  if (files.close(fd) != 0) ok = false;
  return ok;
}

}  // namespace torvesk
