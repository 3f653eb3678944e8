// The run log files: one append-only newline-delimited JSON file per run in the data folder,
// and the seam every file operation on them goes through.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace torvesk {

// The file operations of the log files: a seam, so tests can make them fail. The system one
// calls the operating system directly. Loading and large batches use two threads at once.
class LogFileSystem {
 public:
  virtual ~LogFileSystem() = default;
  // Opens for appending (every write goes to the current end) and for reading, creating the file
  // with mode 0644; a descriptor, or -1 with errno set.
  virtual int open_append(const std::string& path) = 0;
  // The current size of the open file, or -1.
  virtual off_t size(int fd) = 0;
  virtual ssize_t read_at(int fd, void* data, std::size_t size, off_t offset) = 0;
  // May write only part; -1 with errno set on failure (EINTR: nothing was written, try again).
  virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
  virtual int close(int fd) = 0;
  // The whole content of a regular file; false when it cannot be read.
  virtual bool read_file(const std::string& path, std::string& contents) = 0;
};

LogFileSystem& system_log_files();

// ASCII letters, digits and "-" kept, every other character (scalar value) becomes "_";
// "unknown" for the empty id; then ".ndjson".
std::string run_file_name(std::string_view run_id);

// Appends whole lines to the run's file, creating it; false when that failed, which the caller
// only counts. A file whose last line was left unfinished by an earlier failed append first gets
// a line feed, so that broken line stays alone and the new lines stay readable.
bool append_run_log(const std::string& data_dir, std::string_view run_id, std::string_view text);
bool append_run_log(const std::string& data_dir, std::string_view run_id, std::string_view text,
                    LogFileSystem& files);

// True for a file name that ends in ".ndjson" after something ("x.ndjson", not ".ndjson").
bool has_log_extension(std::string_view file_name);

}  // namespace torvesk
