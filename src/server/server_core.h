// State of the HTTP layer shared by the listener, the sessions and receive(). Outlives every
// session.
#pragma once

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "base/net_address.h"
#include "base/thread_annotations.h"
#include "server/exchange.h"
#include "server/http_limits.h"
#include "server/memory_return.h"

namespace torvesk::http_detail {

// Open connections allowed in all: kMaxConnections, or fewer when the descriptor limit leaves
// less beside kReservedDescriptors, so that accepting never takes the descriptors log files need.
std::size_t connection_limit();

class ServerCore : public std::enable_shared_from_this<ServerCore> {
 public:
  ServerCore(boost::asio::io_context& io, std::uint64_t max_body_bytes,
             std::vector<AddressRange> shared_peers)
      : io(io),
        acceptor(io),
        retry_timer(io),
        memory(io, requests_in_flight),
        max_body_bytes(max_body_bytes),
        max_connections(connection_limit()),
        max_connections_per_address(std::clamp<std::size_t>(
            max_connections / kConnectionShareDivisor, 1, kMaxConnectionsPerAddress)),
        shared_peers(std::move(shared_peers)) {}

  void accept_next();
  void admit(boost::asio::ip::tcp::socket socket);
  // Counts a new connection, for `limited_peer` when given; false when it is over the limit in
  // all or for that address. Every true is matched by one release_connection.
  bool take_connection(const std::optional<IpAddress>& limited_peer);
  void release_connection(const std::optional<IpAddress>& limited_peer);
  // Counts a body read that waits on the network for a limited peer; false at
  // kMaxBodyReadsPerAddress. Every true is matched by one end_body_wait.
  bool begin_body_wait(const IpAddress& peer);
  void end_body_wait(const IpAddress& peer);
  void deliver(Exchange exchange);
  std::optional<Exchange> receive();
  void stop();

  // What the sessions hold together has changed upwards.
  void note_held_bytes() {
    memory.note_held(preread_bytes.load(std::memory_order_relaxed) +
                     answer_bytes.load(std::memory_order_relaxed));
  }

  boost::asio::io_context& io;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer retry_timer;
  std::atomic<std::size_t> requests_in_flight{0};  // handed over, answer not yet written
  MemoryReturn memory;
  const std::uint64_t max_body_bytes;  // bodies up to this size are read before hand-over
  const std::size_t max_connections;
  const std::size_t max_connections_per_address;
  const std::vector<AddressRange> shared_peers;  // no per-address limits for these
  std::atomic<std::uint64_t> preread_bytes{0};   // held by all sessions' bodies read ahead
  std::atomic<std::uint64_t> answer_bytes{0};    // held by all sessions' answers being written

  // deliver() runs inside receive() on the receiving thread; stop() may come from any thread.
  Mutex mutex;
  std::deque<Exchange> received GUARDED_BY(mutex);  // at most one per connection
  bool stopped GUARDED_BY(mutex) = false;

  // What each client address holds now. Sessions end on whichever thread lets them go last, so
  // the counts have a lock of their own.
  struct ClientCounts {
    std::size_t connections = 0;
    std::size_t body_waits = 0;
  };
  Mutex clients_mutex;
  std::size_t open_connections GUARDED_BY(clients_mutex) = 0;
  std::unordered_map<IpAddress, ClientCounts> clients GUARDED_BY(clients_mutex);  // no zero entries
};

}  // namespace torvesk::http_detail
