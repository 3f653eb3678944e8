// A received HTTP request as the handlers see it: head read, body still unread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/net_address.h"

namespace torvesk {

struct Header {
  std::string name;
  std::string value;
};

// The first header, in received order, whose name equals `name` ignoring ASCII case; later
// headers of the same name are ignored. nullptr when there is none.
const std::string* find_header(const std::vector<Header>& headers, std::string_view name);

// The request-target up to, not including, the first "?".
std::string_view request_path(std::string_view target);

class BodyReader {
 public:
  virtual ~BodyReader() = default;
  // Appends body bytes to `out` until the body has ended or `out` has grown by `cap` bytes,
  // whichever comes first. Sends "100 Continue" first when the client asked for it. Returns false
  // on a read error or timeout. Blocks the calling thread (a worker, never the receiving one).
  virtual bool read_to_end(std::string& out, std::uint64_t cap) = 0;
};

// Reads from a fixed text; for tests and for requests without a body.
class StringBodyReader final : public BodyReader {
 public:
  explicit StringBodyReader(std::string body, bool fail = false)
      : body_(std::move(body)), fail_(fail) {}
  bool read_to_end(std::string& out, std::uint64_t cap) override;

 private:
  std::string body_;
  std::size_t offset_ = 0;
  bool fail_;
};

struct Request {
  std::string method;                            // as sent: "GET", "POST", ...
  std::string target;                            // raw request-target, query included
  std::vector<Header> headers;                   // received order, duplicates kept
  std::optional<IpAddress> peer;                 // absent when the connection cannot tell
  std::optional<std::uint64_t> declared_length;  // from Content-Length
  std::unique_ptr<BodyReader> body;              // never null
};

}  // namespace torvesk
