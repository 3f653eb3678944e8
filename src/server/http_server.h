// The HTTP/1.1 layer: accepts connections, reads request heads and writes answers on the thread
// that waits in receive(), which hands each request over; lets a worker read the body and answer
// it once from any thread. All of the layer's I/O runs inside receive(), so that a request reaches
// the receiving thread without a thread switch: connections make progress only while a thread
// waits there, and a worker's body read or answer completes the next time it does. Slow or
// hostile clients are bounded by the limits in http_limits.h.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/net_address.h"
#include "server/exchange.h"
#include "server/response.h"

namespace torvesk {

class HttpServer {
 public:
  // Binds and listens on `address`:`port`; on failure returns the system's error text. Bodies of
  // at most `max_body_bytes` (and chunked bodies up to one byte more) that the client sends
  // without waiting for 100 Continue are read before their request is handed over, so that a
  // slow body never holds a worker; the request's body reader then serves them from memory.
  // Peers in `shared_peers` (trusted proxies) carry many clients: the per-address limits on
  // connections and body reads do not apply to them.
  static std::variant<std::unique_ptr<HttpServer>, std::string> start(
      const IpAddress& address, std::uint16_t port,
      std::uint64_t max_body_bytes = std::numeric_limits<std::uint64_t>::max(),
      std::vector<AddressRange> shared_peers = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Runs the layer's I/O on the calling thread until a request whose head has been read is there,
  // and returns it. nullopt once the listener has failed or the server has been stopped: no
  // request will come any more. Always called on the same thread, which must come back here
  // without waiting for any worker; answers it gives between two calls are written at once.
  std::optional<Exchange> receive();

  // Ends accepting; receive() then returns nullopt. Any thread; idempotent.
  void stop();

  // True while answers not yet taken by their clients hold kPendingAnswerBudgetBytes or more;
  // safe on any thread.
  bool answers_over_budget() const;

  std::uint16_t local_port() const;
  // Connections open now; safe on any thread.
  std::size_t open_connections() const;

 private:
  struct Impl;
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace torvesk
