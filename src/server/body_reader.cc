#include "server/body_reader.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <limits>
#include <new>
#include <string_view>

#include "server/http_limits.h"
#include "server/http_testing.h"

namespace torvesk::http_detail {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

// While this many requests are handed over and not yet answered (queued for a worker or in one),
// bodies are no longer read ahead: a new request then most likely gets the busy answer, which
// goes out at once instead of after its whole body, and one that does get a worker has its body
// read by that worker. Below the request queue's capacity with the default worker count.
constexpr std::size_t kPrereadMaxInFlight = 64;

// Body-read completions still to fail as if out of memory (http_testing::fail_body_reads).
std::atomic<int> g_body_read_faults{0};

void throw_if_fault_injected() {
  if (g_body_read_faults.load(std::memory_order_relaxed) > 0 &&
      g_body_read_faults.fetch_sub(1, std::memory_order_relaxed) > 0) {
    throw std::bad_alloc();
  }
}

}  // namespace

ConnectionBodyReader::ConnectionBodyReader(Owner& owner, ServerCore& core,
                                           const std::optional<IpAddress>& limited_peer,
                                           boost::beast::tcp_stream& stream,
                                           boost::beast::flat_buffer& buffer,
                                           std::optional<RequestState>& request)
    : owner_(owner),
      core_(core),
      limited_peer_(limited_peer),
      stream_(stream),
      buffer_(buffer),
      request_(request),
      timer_(stream.get_executor()) {}

// A body is read by the layer before its request is queued, so that a slow or stalled body holds
// no worker: only bodies the client sends without waiting for 100 Continue, that are not already
// declared too large for the handler to accept, and only while the budget lasts. What the layer
// has not read by then, the worker reads itself.
bool ConnectionBodyReader::should_preread() const {
  const RequestState& request = *request_;
  if (request.body_mode == BodyMode::kNone || request.expect_continue) return false;
  if (request.body_mode == BodyMode::kLength && request.length_left > core_.max_body_bytes) {
    return false;
  }
  if (core_.requests_in_flight.load(std::memory_order_relaxed) >= kPrereadMaxInFlight) {
    return false;
  }
  return core_.preread_bytes.load(std::memory_order_relaxed) < kPrereadBudgetBytes;
}

bool ConnectionBodyReader::read_ahead_if_worthwhile() {
  if (!should_preread()) return false;
  RequestState& request = *request_;
  request.prereading = true;
  out_ = &request.preread;
  // One byte more than the limit, so the handler can tell a body that is too large.
  const std::uint64_t limit = core_.max_body_bytes;
  room_ = limit == std::numeric_limits<std::uint64_t>::max() ? limit : limit + 1;
  read_deadline_ = std::chrono::steady_clock::now() + kBodyReadTimeout;
  read_body_bytes();
  return true;
}

void ConnectionBodyReader::charge_preread() {
  RequestState& request = *request_;
  if (request.preread.size() > request.preread_charged) {
    core_.preread_bytes.fetch_add(request.preread.size() - request.preread_charged,
                                  std::memory_order_relaxed);
    request.preread_charged = request.preread.size();
    core_.note_held_bytes();
  }
}

void ConnectionBodyReader::release_preread() {
  if (!request_) return;
  RequestState& request = *request_;
  core_.preread_bytes.fetch_sub(request.preread_charged, std::memory_order_relaxed);
  request.preread_charged = 0;
  std::string().swap(request.preread);
}

bool ConnectionBodyReader::start_for_worker(std::string* out, std::uint64_t cap,
                                            std::promise<bool>* done) {
  RequestState& request = *request_;
  if (!request.preread.empty()) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(request.preread.size(), cap));
    if (out->empty() && take == request.preread.size()) {
      out->swap(request.preread);  // the usual case: the whole body moves over without a copy
    } else {
      out->append(request.preread, 0, take);
      request.preread.erase(0, take);
    }
    cap -= take;
    release_preread();
  }
  if (request.body_complete || cap == 0) {
    done->set_value(true);
    return true;
  }
  if (request.body_error || request.body_cut) {
    done->set_value(false);
    return true;
  }
  if (limited_peer_) {
    if (!core_.begin_body_wait(*limited_peer_)) return false;
    wait_counted_ = true;
  }
  out_ = out;
  room_ = cap;
  done_ = done;
  read_deadline_ = std::chrono::steady_clock::now() + kBodyReadTimeout;
  if (request.expect_continue && !request.continue_sent) {
    request.continue_sent = true;
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    arm_timer();
    net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                     [this, self = owner_.hold_connection()](error_code ec, std::size_t) {
                       run_guarded([&] {
                         if (ec) return finish(false);
                         read_body_bytes();
                       });
                     });
    return true;
  }
  read_body_bytes();
  return true;
}

void ConnectionBodyReader::arm_timer() {
  // Before its first byte, a body a worker waits for gets the short start timeout; a body read
  // ahead holds no worker, and a started one has shown that its client sends.
  const auto allowed =
      request_->body_started || request_->prereading ? kBodyStallTimeout : kBodyStartTimeout;
  timer_.expires_at(std::min(read_deadline_, std::chrono::steady_clock::now() + allowed));
  timer_.async_wait(
      [this, self = owner_.hold_connection(), serial = ++timer_serial_](error_code ec) {
        if (ec || serial != timer_serial_) return;
        error_code ignored;
        stream_.socket().cancel(ignored);  // the pending read fails; finish follows
      });
}

void ConnectionBodyReader::end_wait() {
  if (std::exchange(wait_counted_, false)) core_.end_body_wait(*limited_peer_);
}

void ConnectionBodyReader::read_body_bytes() {
  if (request_->body_mode == BodyMode::kLength) return continue_length_body();
  request_->parser.eager(true);
  buffer_.reserve(kReadBufferBytes);
  continue_chunked_body();
}

void ConnectionBodyReader::continue_length_body() {
  RequestState& request = *request_;
  std::string& out = *out_;
  if (buffer_.size() > 0) {
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>({buffer_.size(), request.length_left, room_}));
    out.append(static_cast<const char*>(buffer_.data().data()), take);
    buffer_.consume(take);
    request.length_left -= take;
    room_ -= take;
    request.body_started = true;
  }
  if (request.length_left == 0) request.body_complete = true;
  if (request.length_left == 0 || room_ == 0) return finish(true);
  if (request.prereading) {
    charge_preread();
    if (core_.preread_bytes.load(std::memory_order_relaxed) >= kPrereadBudgetBytes) {
      return finish(true);  // the worker reads the rest
    }
  }

  // Read straight into the destination: no intermediate buffer for the bulk of a body. A body
  // read ahead grows with what has arrived, so a slow client costs memory only for what it sent.
  const std::uint64_t largest =
      request.prereading
          ? std::clamp<std::uint64_t>(out.size(), kPrereadPieceBytes, kBodyReadChunkBytes)
          : kBodyReadChunkBytes;
  const std::size_t piece =
      static_cast<std::size_t>(std::min<std::uint64_t>({request.length_left, room_, largest}));
  const std::size_t old_size = out.size();
  out.resize(old_size + piece);
  arm_timer();
  stream_.async_read_some(
      net::buffer(out.data() + old_size, piece),
      [this, self = owner_.hold_connection(), old_size](error_code ec, std::size_t n) {
        run_guarded([&] {
          out_->resize(old_size + n);
          request_->length_left -= n;
          room_ -= n;
          if (ec) return finish(false);
          request_->body_started = true;
          throw_if_fault_injected();
          continue_length_body();
        });
      });
}

void ConnectionBodyReader::continue_chunked_body() {
  if (request_->prereading) {
    charge_preread();
    if (core_.preread_bytes.load(std::memory_order_relaxed) >= kPrereadBudgetBytes) {
      return finish(true);  // the worker reads the rest
    }
  }
  HeadParser& parser = request_->parser;
  parser.sink = out_;
  parser.sink_room = room_;
  arm_timer();
  http::async_read_some(stream_, buffer_, parser,
                        [this, self = owner_.hold_connection()](error_code ec, std::size_t) {
                          run_guarded([&] {
                            RequestState& request = *request_;
                            HeadParser& parser = request.parser;
                            room_ = parser.sink_room;
                            parser.sink = nullptr;
                            if (parser.sink_overflowed) {
                              // The caller has all it asked for; the rest of this body is never
                              // read.
                              request.body_cut = true;
                              return finish(true);
                            }
                            if (ec) return finish(false);
                            request.body_started = true;
                            throw_if_fault_injected();
                            if (parser.is_done()) {
                              request.body_complete = true;
                              return finish(true);
                            }
                            if (room_ == 0) return finish(true);
                            continue_chunked_body();
                          });
                        });
}

void ConnectionBodyReader::finish(bool ok) {
  ++timer_serial_;
  timer_.cancel();
  RequestState& request = *request_;
  if (!ok) request.body_error = true;
  out_ = nullptr;
  if (request.prereading) {
    // A failed read ahead is handed over too: the handler's read then reports the failure.
    request.prereading = false;
    charge_preread();
    return owner_.hand_over();
  }
  end_wait();
  std::promise<bool>* done = std::exchange(done_, nullptr);
  done->set_value(ok);
}

void ConnectionBodyReader::fail_waiting_worker() {
  if (done_ != nullptr) finish(false);
}

void ConnectionBodyReader::release() {
  release_preread();
  end_wait();
}

void ConnectionBodyReader::abandon() noexcept {
  if (request_) {
    request_->body_error = true;
    request_->prereading = false;
  }
  out_ = nullptr;
  ++timer_serial_;
  try {
    timer_.cancel();
  } catch (...) {
  }
  end_wait();
  if (std::promise<bool>* done = std::exchange(done_, nullptr)) {
    try {
      done->set_value(false);
    } catch (...) {
    }
  }
}

}  // namespace torvesk::http_detail

namespace torvesk::http_testing {

void fail_body_reads(int count) {
  http_detail::g_body_read_faults.store(count, std::memory_order_relaxed);
}

}  // namespace torvesk::http_testing
