// The answer of one request on a connection: laid out once, sent without waiting as far as the
// socket takes it, the rest written by the stream. Counts what it holds in the layer's budget of
// unsent answers until released.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "server/http_limits.h"
#include "server/response.h"

namespace torvesk::http_detail {

// How an answer ends its connection, from its request.
struct AnswerFraming {
  bool head_request = false;     // the body's length is announced, the body not sent
  bool closing = false;          // the connection closes after this answer
  bool echo_keep_alive = false;  // an HTTP/1.0 client asked for keep-alive
};

class AnswerWriter {
 public:
  // `held_bytes` sums what every connection's answer holds; it outlives this.
  explicit AnswerWriter(std::atomic<std::uint64_t>& held_bytes) : held_bytes_(held_bytes) {}
  ~AnswerWriter() { release_charge(); }
  AnswerWriter(const AnswerWriter&) = delete;
  AnswerWriter& operator=(const AnswerWriter&) = delete;

  // Lays out `response` to be sent and charges it; returns the bytes charged.
  std::uint64_t prepare(Response response, const AnswerFraming& framing);

  // Sends what the socket takes now without waiting; an error when the socket failed.
  boost::system::error_code send_what_the_socket_takes(int socket);
  bool all_sent() const { return boost::asio::buffer_size(unsent()) == 0; }

  // Writes the rest through `stream`, with kWriteTimeout; the answer must stay prepared until
  // `handler` runs.
  template <class Handler>
  void write_rest(boost::beast::tcp_stream& stream, Handler&& handler) {
    stream.expires_after(kWriteTimeout);
    // The sequence is copied into the write operation, so it may be a temporary; the bytes it
    // points to live here until the write completes.
    boost::asio::async_write(stream, unsent(), offer_all_remaining, std::forward<Handler>(handler));
  }

  // The answer has been written or has failed: frees it and gives back its charge.
  void finish() {
    answer_ = Response();
    release_charge();
  }
  // Gives back the charge but keeps the bytes, which a write cut short may still point to.
  void release_charge() {
    held_bytes_.fetch_sub(charged_, std::memory_order_relaxed);
    charged_ = 0;
  }

 private:
  // Completion condition of answer writes: each send is offered everything not yet sent, so a
  // large answer leaves in as few system calls as the socket takes (the default offers 64 KiB).
  static std::size_t offer_all_remaining(const boost::system::error_code& ec, std::size_t) {
    return ec ? 0 : std::numeric_limits<std::size_t>::max();
  }
  std::array<boost::asio::const_buffer, 2> unsent() const;

  std::atomic<std::uint64_t>& held_bytes_;
  std::string head_;
  Response answer_;
  bool head_request_ = false;
  std::size_t sent_ = 0;       // bytes of head_, then of answer_.body, sent so far
  std::uint64_t charged_ = 0;  // bytes counted in held_bytes_
};

}  // namespace torvesk::http_detail
