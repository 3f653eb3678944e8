#include "server/http_server.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <cerrno>
#include <deque>
#include <future>
#include <limits>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "base/text.h"
#include "base/thread_annotations.h"
#include "server/http_head_parser.h"
#include "server/http_limits.h"
#include "server/http_testing.h"

namespace torvesk {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace http_detail {

class ServerCore;

// When bodies read ahead and unsent answers have held this much together, the allocator is told
// to give free memory back to the system once no request is in flight any more: a burst of large
// requests leaves its buffers scattered between live blocks, where they would stay otherwise.
constexpr std::uint64_t kTrimAfterBurstBytes = 64 * 1024 * 1024;

// Once requests have declared bodies and been answered with kTrimAfterBurstBytes in all since
// memory was last given back, it is given back after this long with no new request and none in
// flight: when a load ends, the monitor returns to what its data needs. Long enough that a client
// pushing batch after batch never sees its buffers unmapped between two of them.
constexpr std::chrono::seconds kQuietBeforeTrim{1};

// While this many requests are handed over and not yet answered (queued for a worker or in one),
// bodies are no longer read ahead: a new request then most likely gets the busy answer, which
// goes out at once instead of after its whole body, and one that does get a worker has its body
// read by that worker. Below the request queue's capacity with the default worker count.
constexpr std::size_t kPrereadMaxInFlight = 64;

// Completion condition of answer writes: each send is offered everything not yet sent, so a
// large answer leaves in as few system calls as the socket takes (the default offers 64 KiB).
std::size_t offer_all_remaining(const error_code& ec, std::size_t) {
  return ec ? 0 : std::numeric_limits<std::size_t>::max();
}

// Giving free pages back walks the whole heap, which takes milliseconds when the store is large;
// the receiving thread, which runs all of the layer's I/O, must not stall on it.
void trim_in_background() {
  try {
    std::thread([] { malloc_trim(0); }).detach();
  } catch (const std::system_error&) {
    malloc_trim(0);
  }
}

// Body-read completions still to fail as if out of memory (http_testing::fail_body_reads).
std::atomic<int> g_body_read_faults{0};

void throw_if_fault_injected() {
  if (g_body_read_faults.load(std::memory_order_relaxed) > 0 &&
      g_body_read_faults.fetch_sub(1, std::memory_order_relaxed) > 0) {
    throw std::bad_alloc();
  }
}

// Open connections allowed in all: kMaxConnections, or fewer when the descriptor limit leaves
// less beside kReservedDescriptors, so that accepting never takes the descriptors log files need.
std::size_t connection_limit() {
  std::size_t limit = kMaxConnections;
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
    const rlim_t available = descriptors.rlim_cur > kReservedDescriptors + kConnectionShareDivisor
                                 ? descriptors.rlim_cur - kReservedDescriptors
                                 : kConnectionShareDivisor;
    limit = std::min<std::uint64_t>(limit, available);
  }
  return limit;
}

// The core whose I/O this thread runs in receive() (always the same thread), and whether the
// thread is inside one of the layer's handlers right now.
thread_local const ServerCore* t_receiving_for = nullptr;
thread_local bool t_in_layer_handler = false;

// One connection. Every member is touched only in handlers on the session's strand, or on the
// receiving thread between two handlers (which run on that thread alone), except where noted.
class Session : public std::enable_shared_from_this<Session> {
 public:
  // The connection has been counted (ServerCore::take_connection), for `limited_peer` when that is
  // given; the session gives it back when it ends.
  Session(tcp::socket socket, std::shared_ptr<ServerCore> core, std::optional<IpAddress> peer,
          std::optional<IpAddress> limited_peer);
  ~Session();

  void start() { read_head(); }

  // Called from worker threads; blocks until the body read on the strand has finished.
  bool read_body(std::string& out, std::uint64_t cap);

  // Called from any thread; the answer is written on the strand, or at once when this is the
  // receiving thread between two handlers.
  void post_answer(Response response, bool force_close);

 private:
  enum class BodyMode { kNone, kLength, kChunked };

  void read_head();
  void read_head_after_first_byte();
  void on_head(error_code ec);
  void refuse(std::uint16_t status, std::string_view message);
  void hand_over();

  bool should_preread() const;
  void start_preread();
  void charge_preread();
  void release_preread();
  void start_body_read(std::string* out, std::uint64_t cap, std::promise<bool>* done);
  void read_body_bytes();
  void continue_length_body();
  void continue_chunked_body();
  void finish_body_read(bool ok);
  void arm_body_timer();
  void end_body_wait();

  // Runs the work of one completion handler. A fault inside it (out of memory) closes the
  // connection and releases a worker waiting on it, which would otherwise wait for good.
  template <class Work>
  void run_guarded(Work&& work) noexcept {
    try {
      work();
    } catch (...) {
      abandon();
    }
  }
  void abandon() noexcept;

  void write_answer(Response response, bool force_close);
  std::array<net::const_buffer, 2> unsent_answer() const;
  error_code send_what_the_socket_takes();
  void after_write(error_code ec);
  void release_answer();
  void drain_then_close();
  void drain_more();
  void close_now();

  beast::tcp_stream stream_;
  std::shared_ptr<ServerCore> core_;
  std::optional<IpAddress> peer_;
  // The peer when the per-address limits apply to it: known, and not a shared peer.
  std::optional<IpAddress> limited_peer_;
  beast::flat_buffer buffer_;
  std::optional<HeadParser> parser_;

  BodyMode body_mode_ = BodyMode::kNone;
  std::uint64_t length_left_ = 0;  // Content-Length bytes not yet read
  bool body_complete_ = true;      // every byte of the body has been taken off the wire
  bool body_error_ = false;        // a body read failed or timed out; later reads fail too
  bool body_cut_ = false;          // bytes beyond a read's cap were dropped; later reads fail
  bool expect_continue_ = false;
  bool continue_sent_ = false;
  bool answered_ = false;
  bool keep_alive_ = false;
  bool head_request_ = false;
  bool echo_keep_alive_ = false;  // an HTTP/1.0 client asked for keep-alive

  // A body read before its request is handed over (start_preread), given to the first read.
  std::string preread_;
  std::uint64_t preread_charged_ = 0;  // bytes of preread_ counted in the core's budget
  bool prereading_ = false;

  // The body read in progress: into preread_ while prereading_, else for a worker blocked on
  // `body_done_`.
  std::string* body_out_ = nullptr;
  std::uint64_t body_room_ = 0;
  std::promise<bool>* body_done_ = nullptr;
  bool body_started_ = false;       // a byte of this body has arrived
  bool body_wait_counted_ = false;  // this read counts in its address's kMaxBodyReadsPerAddress
  // Cancels the socket's reads when the body stalls (kBodyStallTimeout, kBodyStartTimeout) or its
  // read has taken kBodyReadTimeout; the connection stays open for the 400 answer. A wait started
  // before the latest arming is stale and does nothing (body_timer_serial_).
  net::steady_timer body_timer_;
  std::chrono::steady_clock::time_point body_read_deadline_;
  std::uint64_t body_timer_serial_ = 0;

  // The answer being written, kept alive until the write completes.
  std::string answer_head_;
  Response answer_;
  std::size_t answer_sent_ = 0;       // bytes of answer_head_, then of answer_.body, sent so far
  std::uint64_t answer_charged_ = 0;  // bytes of the answer counted in the core's budget
  bool in_flight_ = false;            // a request was handed over and its answer is not written
  bool closing_after_write_ = false;
  std::size_t drained_ = 0;
  std::optional<net::steady_timer> drain_deadline_;  // set once a drain has started
};

class SessionBodyReader final : public BodyReader {
 public:
  explicit SessionBodyReader(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  bool read_to_end(std::string& out, std::uint64_t cap) override {
    return session_->read_body(out, cap);
  }

 private:
  std::shared_ptr<Session> session_;
};

// State shared by the listener, the sessions and receive(). Outlives every session.
class ServerCore : public std::enable_shared_from_this<ServerCore> {
 public:
  ServerCore(net::io_context& io, std::uint64_t max_body_bytes,
             std::vector<AddressRange> shared_peers)
      : io(io),
        acceptor(io),
        retry_timer(io),
        quiet_timer(io),
        max_body_bytes(max_body_bytes),
        max_connections(connection_limit()),
        max_connections_per_address(std::clamp<std::size_t>(
            max_connections / kConnectionShareDivisor, 1, kMaxConnectionsPerAddress)),
        shared_peers(std::move(shared_peers)) {}

  void accept_next();
  void watch_for_quiet();
  void admit(tcp::socket socket);
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

  net::io_context& io;
  tcp::acceptor acceptor;
  net::steady_timer retry_timer;
  net::steady_timer quiet_timer;
  const std::uint64_t max_body_bytes;  // bodies up to this size are read before hand-over
  const std::size_t max_connections;
  const std::size_t max_connections_per_address;
  const std::vector<AddressRange> shared_peers;    // no per-address limits for these
  std::atomic<std::uint64_t> preread_bytes{0};     // held by all sessions' preread_
  std::atomic<std::uint64_t> answer_bytes{0};      // held by all sessions' answers being written
  std::atomic<std::size_t> requests_in_flight{0};  // handed over, answer not yet written
  std::atomic<bool> burst_seen{false};  // kTrimAfterBurstBytes reached since the last trim
  // Bodies declared and answers given since the last trim; chunked bodies are not counted.
  std::atomic<std::uint64_t> bytes_since_trim{0};
  std::uint64_t requests_seen = 0;           // heads handed over; the I/O thread's alone
  std::uint64_t requests_seen_at_check = 0;  // the I/O thread's alone

  // Notes a burst when what the sessions hold together has reached kTrimAfterBurstBytes.
  void note_held_bytes() {
    if (preread_bytes.load(std::memory_order_relaxed) +
            answer_bytes.load(std::memory_order_relaxed) >=
        kTrimAfterBurstBytes) {
      burst_seen.store(true, std::memory_order_relaxed);
    }
  }

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

Session::Session(tcp::socket socket, std::shared_ptr<ServerCore> core,
                 std::optional<IpAddress> peer, std::optional<IpAddress> limited_peer)
    : stream_(std::move(socket)),
      core_(std::move(core)),
      peer_(std::move(peer)),
      limited_peer_(std::move(limited_peer)),
      buffer_(kMaxBufferedBytes),
      body_timer_(stream_.get_executor()) {}

Session::~Session() {
  release_preread();
  release_answer();
  end_body_wait();
  core_->release_connection(limited_peer_);
}

void Session::read_head() {
  parser_.emplace();
  body_mode_ = BodyMode::kNone;
  length_left_ = 0;
  body_complete_ = true;
  body_error_ = false;
  body_cut_ = false;
  body_started_ = false;
  release_preread();
  prereading_ = false;
  expect_continue_ = false;
  continue_sent_ = false;
  answered_ = false;
  if (buffer_.size() > 0) {
    read_head_after_first_byte();
    return;
  }
  stream_.expires_after(kIdleTimeout);
  stream_.async_read_some(buffer_.prepare(kHeadReadBytes),
                          [self = shared_from_this()](error_code ec, std::size_t n) {
                            self->run_guarded([&] {
                              if (ec) return self->close_now();
                              self->buffer_.commit(n);
                              self->read_head_after_first_byte();
                            });
                          });
}

void Session::read_head_after_first_byte() {
  stream_.expires_after(kHeadTimeout);
  // The whole head usually came with the first read: parsed here, it needs no read operation and
  // no further handler. The parser keeps what it has seen, so the read below goes on from there.
  error_code ec;
  buffer_.consume(parser_->put(buffer_.data(), ec));
  if (ec != http::error::need_more) return on_head(ec);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](error_code ec, std::size_t) {
                            self->run_guarded([&] { self->on_head(ec); });
                          });
}

void Session::on_head(error_code ec) {
  if (ec == http::error::header_limit) return refuse(431, "request header fields too large");
  if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
      ec == net::error::eof || ec == beast::error::timeout || ec == net::error::operation_aborted ||
      ec == net::error::connection_reset) {
    return close_now();
  }
  if (ec) return refuse(400, "bad request");
  stream_.expires_never();

  HeadParser& parser = *parser_;
  head_request_ = parser.method == "HEAD";
  keep_alive_ = parser.keep_alive();
  echo_keep_alive_ = keep_alive_ && parser.version < 11;
  if (parser.chunked()) {
    body_mode_ = BodyMode::kChunked;
    body_complete_ = false;
  } else if (const auto length = parser.content_length(); length && *length > 0) {
    body_mode_ = BodyMode::kLength;
    length_left_ = *length;
    body_complete_ = false;
  }
  if (const std::string* expect = find_header(parser.headers, "expect")) {
    expect_continue_ = parser.version >= 11 && equals_ignoring_ascii_case(*expect, "100-continue");
  }
  if (should_preread()) return start_preread();
  hand_over();
}

// A body is read by the layer before its request is queued, so that a slow or stalled body holds
// no worker: only bodies the client sends without waiting for 100 Continue, that are not already
// declared too large for the handler to accept, and only while the budget lasts. What the layer
// has not read by then, the worker reads itself.
bool Session::should_preread() const {
  if (body_mode_ == BodyMode::kNone || expect_continue_) return false;
  if (body_mode_ == BodyMode::kLength && length_left_ > core_->max_body_bytes) return false;
  if (core_->requests_in_flight.load(std::memory_order_relaxed) >= kPrereadMaxInFlight) {
    return false;
  }
  return core_->preread_bytes.load(std::memory_order_relaxed) < kPrereadBudgetBytes;
}

void Session::start_preread() {
  prereading_ = true;
  body_out_ = &preread_;
  // One byte more than the limit, so the handler can tell a body that is too large.
  const std::uint64_t limit = core_->max_body_bytes;
  body_room_ = limit == std::numeric_limits<std::uint64_t>::max() ? limit : limit + 1;
  body_read_deadline_ = std::chrono::steady_clock::now() + kBodyReadTimeout;
  read_body_bytes();
}

void Session::charge_preread() {
  if (preread_.size() > preread_charged_) {
    core_->preread_bytes.fetch_add(preread_.size() - preread_charged_, std::memory_order_relaxed);
    preread_charged_ = preread_.size();
    core_->note_held_bytes();
  }
}

void Session::release_preread() {
  core_->preread_bytes.fetch_sub(preread_charged_, std::memory_order_relaxed);
  preread_charged_ = 0;
  std::string().swap(preread_);
}

void Session::hand_over() {
  HeadParser& parser = *parser_;
  Request request;
  request.method = std::move(parser.method);
  request.target = std::move(parser.target);
  request.headers = std::move(parser.headers);
  request.peer = peer_;
  if (const auto length = parser.content_length(); length && !parser.chunked()) {
    request.declared_length = *length;
    core_->bytes_since_trim.fetch_add(*length, std::memory_order_relaxed);
  }
  request.body = std::make_unique<SessionBodyReader>(shared_from_this());
  in_flight_ = true;
  core_->requests_in_flight.fetch_add(1, std::memory_order_relaxed);
  ++core_->requests_seen;
  core_->deliver(Exchange(std::move(request), shared_from_this()));
}

// The layer's own refusals of requests it cannot read; the connection is not reused.
void Session::refuse(std::uint16_t status, std::string_view message) {
  body_complete_ = false;  // whatever follows cannot be trusted as a next request
  write_answer(with_security_headers(text_response(status, message)), true);
}

bool Session::read_body(std::string& out, std::uint64_t cap) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  net::post(stream_.get_executor(), [self = shared_from_this(), &out, cap, &done] {
    self->run_guarded([&] { self->start_body_read(&out, cap, &done); });
  });
  return result.get();
}

void Session::start_body_read(std::string* out, std::uint64_t cap, std::promise<bool>* done) {
  if (answered_) {
    done->set_value(false);
    return;
  }
  if (!preread_.empty()) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(preread_.size(), cap));
    if (out->empty() && take == preread_.size()) {
      out->swap(preread_);  // the usual case: the whole body moves over without a copy
    } else {
      out->append(preread_, 0, take);
      preread_.erase(0, take);
    }
    cap -= take;
    release_preread();
  }
  if (body_complete_ || cap == 0) {
    done->set_value(true);
    return;
  }
  if (body_error_ || body_cut_) {
    done->set_value(false);
    return;
  }
  if (limited_peer_) {
    if (!core_->begin_body_wait(*limited_peer_)) {
      // This address already holds its share of workers in body reads: busy, retry later. The
      // worker's own answer to the failed read then finds the request answered.
      write_answer(busy_response(), true);
      done->set_value(false);
      return;
    }
    body_wait_counted_ = true;
  }
  body_out_ = out;
  body_room_ = cap;
  body_done_ = done;
  body_read_deadline_ = std::chrono::steady_clock::now() + kBodyReadTimeout;
  if (expect_continue_ && !continue_sent_) {
    continue_sent_ = true;
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    arm_body_timer();
    net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                     [self = shared_from_this()](error_code ec, std::size_t) {
                       self->run_guarded([&] {
                         if (ec) return self->finish_body_read(false);
                         self->read_body_bytes();
                       });
                     });
    return;
  }
  read_body_bytes();
}

void Session::arm_body_timer() {
  // Before its first byte, a body a worker waits for gets the short start timeout; a body read
  // ahead holds no worker, and a started one has shown that its client sends.
  const auto allowed = body_started_ || prereading_ ? kBodyStallTimeout : kBodyStartTimeout;
  body_timer_.expires_at(std::min(body_read_deadline_, std::chrono::steady_clock::now() + allowed));
  body_timer_.async_wait([self = shared_from_this(), serial = ++body_timer_serial_](error_code ec) {
    if (ec || serial != self->body_timer_serial_) return;
    error_code ignored;
    self->stream_.socket().cancel(ignored);  // the pending read fails; finish_body_read follows
  });
}

void Session::end_body_wait() {
  if (std::exchange(body_wait_counted_, false)) core_->end_body_wait(*limited_peer_);
}

void Session::read_body_bytes() {
  if (body_mode_ == BodyMode::kLength) return continue_length_body();
  parser_->eager(true);
  buffer_.reserve(kReadBufferBytes);
  continue_chunked_body();
}

void Session::continue_length_body() {
  std::string& out = *body_out_;
  if (buffer_.size() > 0) {
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>({buffer_.size(), length_left_, body_room_}));
    out.append(static_cast<const char*>(buffer_.data().data()), take);
    buffer_.consume(take);
    length_left_ -= take;
    body_room_ -= take;
    body_started_ = true;
  }
  if (length_left_ == 0) body_complete_ = true;
  if (length_left_ == 0 || body_room_ == 0) return finish_body_read(true);
  if (prereading_) {
    charge_preread();
    if (core_->preread_bytes.load(std::memory_order_relaxed) >= kPrereadBudgetBytes) {
      return finish_body_read(true);  // the worker reads the rest
    }
  }

  // Read straight into the destination: no intermediate buffer for the bulk of a body. A body
  // read ahead grows with what has arrived, so a slow client costs memory only for what it sent.
  const std::uint64_t largest =
      prereading_ ? std::clamp<std::uint64_t>(out.size(), kPrereadPieceBytes, kBodyReadChunkBytes)
                  : kBodyReadChunkBytes;
  const std::size_t piece =
      static_cast<std::size_t>(std::min<std::uint64_t>({length_left_, body_room_, largest}));
  const std::size_t old_size = out.size();
  out.resize(old_size + piece);
  arm_body_timer();
  stream_.async_read_some(net::buffer(out.data() + old_size, piece),
                          [self = shared_from_this(), old_size](error_code ec, std::size_t n) {
                            self->run_guarded([&] {
                              self->body_out_->resize(old_size + n);
                              self->length_left_ -= n;
                              self->body_room_ -= n;
                              if (ec) return self->finish_body_read(false);
                              self->body_started_ = true;
                              throw_if_fault_injected();
                              self->continue_length_body();
                            });
                          });
}

void Session::continue_chunked_body() {
  if (prereading_) {
    charge_preread();
    if (core_->preread_bytes.load(std::memory_order_relaxed) >= kPrereadBudgetBytes) {
      return finish_body_read(true);  // the worker reads the rest
    }
  }
  HeadParser& parser = *parser_;
  parser.sink = body_out_;
  parser.sink_room = body_room_;
  arm_body_timer();
  http::async_read_some(stream_, buffer_, parser,
                        [self = shared_from_this()](error_code ec, std::size_t) {
                          self->run_guarded([&] {
                            HeadParser& parser = *self->parser_;
                            self->body_room_ = parser.sink_room;
                            parser.sink = nullptr;
                            if (parser.sink_overflowed) {
                              // The caller has all it asked for; the rest of this body is never
                              // read.
                              self->body_cut_ = true;
                              return self->finish_body_read(true);
                            }
                            if (ec) return self->finish_body_read(false);
                            self->body_started_ = true;
                            throw_if_fault_injected();
                            if (parser.is_done()) {
                              self->body_complete_ = true;
                              return self->finish_body_read(true);
                            }
                            if (self->body_room_ == 0) return self->finish_body_read(true);
                            self->continue_chunked_body();
                          });
                        });
}

void Session::finish_body_read(bool ok) {
  ++body_timer_serial_;
  body_timer_.cancel();
  if (!ok) body_error_ = true;
  body_out_ = nullptr;
  if (prereading_) {
    // A failed read ahead is handed over too: the handler's read then reports the failure.
    prereading_ = false;
    charge_preread();
    return hand_over();
  }
  end_body_wait();
  std::promise<bool>* done = std::exchange(body_done_, nullptr);
  done->set_value(ok);
}

// After a fault inside a handler, nothing about the connection can be trusted: it is closed, and
// whatever waits on it is released the way a failed read or write would release it.
void Session::abandon() noexcept {
  error_code ignored;
  stream_.socket().close(ignored);
  body_error_ = true;
  prereading_ = false;
  body_out_ = nullptr;
  ++body_timer_serial_;
  try {
    body_timer_.cancel();
  } catch (...) {
  }
  end_body_wait();
  if (std::promise<bool>* done = std::exchange(body_done_, nullptr)) {
    try {
      done->set_value(false);
    } catch (...) {
    }
  }
  // An answer whose write was cut short never reaches after_write.
  if (answered_ && std::exchange(in_flight_, false)) {
    core_->requests_in_flight.fetch_sub(1, std::memory_order_acq_rel);
  }
  release_answer();
}

void Session::post_answer(Response response, bool force_close) {
  if (t_receiving_for == core_.get() && !t_in_layer_handler) {
    // The thread that runs every handler, between two of them: nothing else can touch the
    // session now, so the answer goes out without a trip through the strand (the busy answer).
    write_answer(std::move(response), force_close);
    return;
  }
  net::post(stream_.get_executor(),
            [self = shared_from_this(), response = std::move(response), force_close]() mutable {
              self->run_guarded([&] { self->write_answer(std::move(response), force_close); });
            });
}

void Session::write_answer(Response response, bool force_close) {
  if (answered_) return;
  answered_ = true;
  closing_after_write_ = force_close || !keep_alive_ || !body_complete_ || body_error_;

  answer_ = std::move(response);
  answer_head_.clear();
  answer_head_ += "HTTP/1.1 ";
  answer_head_ += std::to_string(answer_.status);
  answer_head_ += ' ';
  const beast::string_view reason =
      http::obsolete_reason(static_cast<http::status>(answer_.status));
  answer_head_.append(reason.data(), reason.size());
  answer_head_ += "\r\n";
  for (const auto& [name, value] : answer_.headers) {
    answer_head_ += name;
    answer_head_ += ": ";
    answer_head_ += value;
    answer_head_ += "\r\n";
  }
  answer_head_ += "Content-Length: ";
  answer_head_ += std::to_string(answer_.body.size());
  answer_head_ += "\r\n";
  if (closing_after_write_) {
    answer_head_ += "Connection: close\r\n";
  } else if (echo_keep_alive_) {
    answer_head_ += "Connection: keep-alive\r\n";
  }
  answer_head_ += "\r\n";
  answer_sent_ = 0;
  answer_charged_ = answer_head_.size() + answer_.body.size();
  core_->answer_bytes.fetch_add(answer_charged_, std::memory_order_relaxed);
  core_->bytes_since_trim.fetch_add(answer_charged_, std::memory_order_relaxed);
  core_->note_held_bytes();

  // Most answers fit into the socket at once: sent here, they need no write operation and no
  // further handler. What the socket does not take goes out through the stream, with its timeout.
  const error_code ec = send_what_the_socket_takes();
  if (ec || net::buffer_size(unsent_answer()) == 0) return after_write(ec);
  // The sequence is copied into the write operation, so it may be a local; the bytes it points
  // to live in the session until the write completes.
  stream_.expires_after(kWriteTimeout);
  net::async_write(stream_, unsent_answer(), offer_all_remaining,
                   [self = shared_from_this()](error_code ec, std::size_t) {
                     self->run_guarded([&] { self->after_write(ec); });
                   });
}

std::array<net::const_buffer, 2> Session::unsent_answer() const {
  // A HEAD answer announces the body's length but carries none.
  const net::const_buffer body = head_request_ ? net::const_buffer() : net::buffer(answer_.body);
  if (answer_sent_ < answer_head_.size()) return {net::buffer(answer_head_) + answer_sent_, body};
  return {body + (answer_sent_ - answer_head_.size()), net::const_buffer()};
}

error_code Session::send_what_the_socket_takes() {
  for (;;) {
    const std::array<net::const_buffer, 2> unsent = unsent_answer();
    if (net::buffer_size(unsent) == 0) return {};
    std::array<iovec, 2> pieces{};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      pieces[i].iov_base = const_cast<void*>(unsent[i].data());
      pieces[i].iov_len = unsent[i].size();
    }
    msghdr message{};
    message.msg_iov = pieces.data();
    message.msg_iovlen = pieces.size();
    const ssize_t sent =
        ::sendmsg(stream_.socket().native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      answer_sent_ += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return error_code(errno, boost::system::system_category());
    }
    return {};  // the socket is full for now
  }
}

void Session::after_write(error_code ec) {
  stream_.expires_never();
  answer_ = Response();
  release_answer();
  if (std::exchange(in_flight_, false) &&
      core_->requests_in_flight.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
      core_->burst_seen.exchange(false, std::memory_order_relaxed)) {
    // The burst is over and its buffers are freed: give their pages back.
    core_->bytes_since_trim.store(0, std::memory_order_relaxed);
    trim_in_background();
  }
  if (ec) return close_now();
  if (!closing_after_write_) return read_head();
  if (body_error_) return close_now();  // nothing worth draining on a failed connection
  drain_then_close();
}

void Session::release_answer() {
  core_->answer_bytes.fetch_sub(answer_charged_, std::memory_order_relaxed);
  answer_charged_ = 0;
}

// Closing a socket with unread input makes the kernel send a reset, which can destroy the answer
// before the client reads it. So the sending side is shut first and the input read and dropped
// until the client closes, for a bounded time and amount.
void Session::drain_then_close() {
  error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  drain_deadline_.emplace(stream_.get_executor(), kDrainTimeout);
  drain_deadline_->async_wait([self = shared_from_this()](error_code ec) {
    if (!ec) self->close_now();
  });
  buffer_.clear();
  drain_more();
}

void Session::drain_more() {
  // MSG_TRUNC makes the kernel drop what it has received without copying it (TCP on Linux); the
  // buffer only bounds each read.
  stream_.socket().async_receive(buffer_.prepare(kMaxBufferedBytes), MSG_TRUNC,
                                 [self = shared_from_this()](error_code ec, std::size_t n) {
                                   self->drained_ += n;
                                   if (ec || self->drained_ >= kDrainMaxBytes) {
                                     if (self->drain_deadline_) self->drain_deadline_->cancel();
                                     return self->close_now();
                                   }
                                   self->drain_more();
                                 });
}

void Session::close_now() {
  error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.close();
  if (body_done_ != nullptr) finish_body_read(false);
}

void ServerCore::accept_next() {
  acceptor.async_accept(
      net::make_strand(io), [core = shared_from_this()](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || ec == net::error::bad_descriptor ||
            ec == net::error::invalid_argument || ec == net::error::not_socket) {
          core->stop();  // the listener is gone: no request will come any more
          return;
        }
        if (ec) {
          // Out of descriptors or an aborted handshake: pause, then accept again.
          core->retry_timer.expires_after(kAcceptRetryDelay);
          core->retry_timer.async_wait([core](error_code) { core->accept_next(); });
          return;
        }
        core->admit(std::move(socket));
        // Connections already waiting are taken now rather than one per pass over the handlers.
        for (std::size_t i = 1; i < kAcceptBatch; ++i) {
          tcp::socket more(net::make_strand(core->io));
          error_code accept_ec;
          core->acceptor.accept(more, accept_ec);
          if (accept_ec) break;
          core->admit(std::move(more));
        }
        core->accept_next();
      });
}

// Never throws: the accept loop must go on whatever happens to one connection.
void ServerCore::admit(tcp::socket socket) {
  error_code ec;
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  std::optional<IpAddress> peer;
  if (!ec) peer = remote.address();
  std::optional<IpAddress> limited_peer;
  if (peer && !any_range_contains(shared_peers, *peer)) limited_peer = peer;
  bool counted = false;
  try {
    counted = take_connection(limited_peer);
    if (counted) {
      counted = false;  // from here on the session gives the connection back
      std::make_shared<Session>(std::move(socket), shared_from_this(), peer, limited_peer)->start();
      return;
    }
  } catch (...) {
    if (counted) release_connection(limited_peer);
  }
  error_code ignored;
  socket.close(ignored);
}

bool ServerCore::take_connection(const std::optional<IpAddress>& limited_peer) {
  MutexLock lock(clients_mutex);
  if (open_connections >= max_connections) return false;
  if (limited_peer) {
    ClientCounts& counts = clients[*limited_peer];
    if (counts.connections >= max_connections_per_address) return false;
    ++counts.connections;
  }
  ++open_connections;
  return true;
}

void ServerCore::release_connection(const std::optional<IpAddress>& limited_peer) {
  MutexLock lock(clients_mutex);
  --open_connections;
  if (!limited_peer) return;
  const auto found = clients.find(*limited_peer);
  if (found == clients.end()) return;
  if (--found->second.connections == 0 && found->second.body_waits == 0) clients.erase(found);
}

bool ServerCore::begin_body_wait(const IpAddress& peer) {
  MutexLock lock(clients_mutex);
  ClientCounts& counts = clients[peer];  // present: the session's connection counts there
  if (counts.body_waits >= kMaxBodyReadsPerAddress) return false;
  ++counts.body_waits;
  return true;
}

void ServerCore::end_body_wait(const IpAddress& peer) {
  MutexLock lock(clients_mutex);
  const auto found = clients.find(peer);
  if (found == clients.end()) return;
  if (--found->second.body_waits == 0 && found->second.connections == 0) clients.erase(found);
}

void ServerCore::watch_for_quiet() {
  quiet_timer.expires_after(kQuietBeforeTrim);
  quiet_timer.async_wait([core = shared_from_this()](error_code ec) {
    if (ec) return;  // stopped
    const bool quiet = core->requests_seen == core->requests_seen_at_check &&
                       core->requests_in_flight.load(std::memory_order_relaxed) == 0;
    core->requests_seen_at_check = core->requests_seen;
    if (quiet && core->bytes_since_trim.load(std::memory_order_relaxed) >= kTrimAfterBurstBytes) {
      core->bytes_since_trim.store(0, std::memory_order_relaxed);
      trim_in_background();
    }
    core->watch_for_quiet();
  });
}

void ServerCore::deliver(Exchange exchange) {
  MutexLock lock(mutex);
  if (!stopped) received.push_back(std::move(exchange));
  // When stopped, `exchange` is dropped here and answers 500 by itself.
}

std::optional<Exchange> ServerCore::receive() {
  t_receiving_for = this;
  for (;;) {
    {
      MutexLock lock(mutex);
      if (!received.empty()) {
        Exchange exchange = std::move(received.front());
        received.pop_front();
        return exchange;
      }
      if (stopped) return std::nullopt;
    }
    std::size_t handlers_run = 0;
    t_in_layer_handler = true;
    try {
      // Runs one completion of the layer's I/O on this thread; one of them may deliver a request.
      handlers_run = io.run_one();
    } catch (...) {
      // A handler fault must not end the layer; carry on with the next handler.
      handlers_run = 1;
    }
    t_in_layer_handler = false;
    if (handlers_run == 0) return std::nullopt;
  }
}

void ServerCore::stop() {
  std::deque<Exchange> abandoned;
  {
    MutexLock lock(mutex);
    stopped = true;
    abandoned.swap(received);
  }
  // The abandoned exchanges answer 500 as they are destroyed here.
}

}  // namespace http_detail

Exchange::Exchange(Request request, std::shared_ptr<http_detail::Session> session)
    : request_(std::move(request)), session_(std::move(session)) {}

Exchange::Exchange(Exchange&& other) noexcept
    : request_(std::move(other.request_)), session_(std::move(other.session_)) {}

Exchange& Exchange::operator=(Exchange&& other) noexcept {
  if (this != &other) {
    if (session_) session_->post_answer(text_response(500, "internal error"), true);
    request_ = std::move(other.request_);
    session_ = std::move(other.session_);
  }
  return *this;
}

Exchange::~Exchange() {
  if (session_) session_->post_answer(text_response(500, "internal error"), true);
}

void Exchange::answer(Response response) {
  if (!session_) return;
  std::shared_ptr<http_detail::Session> session = std::move(session_);
  session->post_answer(std::move(response), false);
}

struct HttpServer::Impl {
  // One thread runs the I/O: the one calling receive().
  net::io_context io{1};
  Impl(std::uint64_t max_body_bytes, std::vector<AddressRange> shared_peers)
      : core(std::make_shared<http_detail::ServerCore>(io, max_body_bytes,
                                                       std::move(shared_peers))) {}
  std::shared_ptr<http_detail::ServerCore> core;
  std::uint16_t port = 0;
};

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::variant<std::unique_ptr<HttpServer>, std::string> HttpServer::start(
    const IpAddress& address, std::uint16_t port, std::uint64_t max_body_bytes,
    std::vector<AddressRange> shared_peers) {
  auto impl = std::make_unique<Impl>(max_body_bytes, std::move(shared_peers));
  tcp::acceptor& acceptor = impl->core->acceptor;
  const tcp::endpoint endpoint(address, port);
  error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  // Lets a restarted monitor bind while old connections linger in TIME_WAIT; on Linux it does not
  // let a second listener share the port.
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return ec.message();
  impl->port = acceptor.local_endpoint(ec).port();

  if (!ec) acceptor.non_blocking(true, ec);
  impl->core->accept_next();
  impl->core->watch_for_quiet();
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

HttpServer::~HttpServer() { stop(); }

std::optional<Exchange> HttpServer::receive() { return impl_->core->receive(); }

void HttpServer::stop() {
  impl_->core->stop();
  // Also wakes a receive() waiting for I/O on another thread, which then sees the stop.
  net::post(impl_->io, [core = impl_->core] {
    error_code ignored;
    core->acceptor.close(ignored);
    core->retry_timer.cancel();
    core->quiet_timer.cancel();
  });
}

std::uint16_t HttpServer::local_port() const { return impl_->port; }

std::size_t HttpServer::open_connections() const {
  MutexLock lock(impl_->core->clients_mutex);
  return impl_->core->open_connections;
}

bool HttpServer::answers_over_budget() const {
  return impl_->core->answer_bytes.load(std::memory_order_relaxed) >= kPendingAnswerBudgetBytes;
}

}  // namespace torvesk

namespace torvesk::http_testing {

void fail_body_reads(int count) {
  http_detail::g_body_read_faults.store(count, std::memory_order_relaxed);
}

}  // namespace torvesk::http_testing
