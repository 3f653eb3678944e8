// Reads the body of a connection's current request: ahead of its hand-over, so that a slow body
// holds no worker, or for a worker waiting on it, with the timers that end a stalled read. Runs
// on the thread of the layer's I/O only.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "base/net_address.h"
#include "server/request_state.h"
#include "server/server_core.h"

namespace torvesk::http_detail {

class ConnectionBodyReader {
 public:
  // The connection a reader serves.
  class Owner {
   public:
    // Keeps the connection alive while a read's handler is pending.
    virtual std::shared_ptr<Owner> hold_connection() = 0;
    // A fault inside a read's handler: the connection cannot be trusted any more.
    virtual void abandon() noexcept = 0;
    // A read ahead has ended, well or not: the request goes to the workers.
    virtual void hand_over() = 0;

   protected:
    ~Owner() = default;
  };

  // Every reference outlives the reader; `request` is engaged whenever a read starts.
  ConnectionBodyReader(Owner& owner, ServerCore& core, const std::optional<IpAddress>& limited_peer,
                       boost::beast::tcp_stream& stream, boost::beast::flat_buffer& buffer,
                       std::optional<RequestState>& request);
  ConnectionBodyReader(const ConnectionBodyReader&) = delete;
  ConnectionBodyReader& operator=(const ConnectionBodyReader&) = delete;

  // Starts reading the body ahead of the hand-over when that is worth it; false when the
  // request is to be handed over now.
  bool read_ahead_if_worthwhile();
  // Starts the read of a worker that waits on `done` for at most `cap` more bytes into `out`,
  // or completes it at once. False, with nothing started, when the peer already holds its share
  // of workers in body reads.
  bool start_for_worker(std::string* out, std::uint64_t cap, std::promise<bool>* done);
  // Gives back what the body read ahead holds; call before the request state goes.
  void release_preread();
  // The connection is closing: a worker waiting on a read gets its failure.
  void fail_waiting_worker();
  // The connection ends: gives back what the reader holds in the layer's budget and counts.
  void release();
  // After a fault: the read in progress ends and its worker is released, whatever happens.
  void abandon() noexcept;

 private:
  template <class Work>
  void run_guarded(Work&& work) noexcept {
    try {
      work();
    } catch (...) {
      owner_.abandon();
    }
  }

  bool should_preread() const;
  void charge_preread();
  void read_body_bytes();
  void continue_length_body();
  void continue_chunked_body();
  void finish(bool ok);
  void arm_timer();
  void end_wait();

  Owner& owner_;
  ServerCore& core_;
  const std::optional<IpAddress>& limited_peer_;
  boost::beast::tcp_stream& stream_;
  boost::beast::flat_buffer& buffer_;
  std::optional<RequestState>& request_;

  // The read in progress: into the request's `preread` while prereading, else for a worker
  // blocked on `done_`.
  std::string* out_ = nullptr;
  std::uint64_t room_ = 0;
  std::promise<bool>* done_ = nullptr;
  bool wait_counted_ = false;  // this read counts in its address's kMaxBodyReadsPerAddress
  // Cancels the socket's reads when the body stalls (kBodyStallTimeout, kBodyStartTimeout) or its
  // read has taken kBodyReadTimeout; the connection stays open for the 400 answer. A wait started
  // before the latest arming is stale and does nothing (timer_serial_).
  boost::asio::steady_timer timer_;
  std::chrono::steady_clock::time_point read_deadline_;
  std::uint64_t timer_serial_ = 0;
};

}  // namespace torvesk::http_detail
