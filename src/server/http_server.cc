#include "server/http_server.h"

#include <sys/resource.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <future>
#include <optional>
#include <utility>

#include "base/mutex.h"
#include "base/text.h"
#include "server/answer_writer.h"
#include "server/body_reader.h"
#include "server/http_head_parser.h"
#include "server/http_limits.h"
#include "server/request_state.h"
#include "server/server_core.h"

namespace torvesk {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace http_detail {

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

namespace {

// The core whose I/O this thread runs in receive() (always the same thread), and whether the
// thread is inside one of the layer's handlers right now.
thread_local const ServerCore* t_receiving_for = nullptr;
thread_local bool t_in_layer_handler = false;

}  // namespace

// One connection. One thread runs all of the layer's I/O, so every member is touched only in
// handlers on that thread, or on it between two handlers, except where noted.
class Session final : public std::enable_shared_from_this<Session>,
                      private ConnectionBodyReader::Owner {
 public:
  // The connection has been counted (ServerCore::take_connection), for `limited_peer` when that is
  // given; the session gives it back when it ends.
  Session(tcp::socket socket, std::shared_ptr<ServerCore> core, std::optional<IpAddress> peer,
          std::optional<IpAddress> limited_peer);
  ~Session();

  void start() { read_head(); }

  // Called from worker threads; blocks until the body read on the I/O thread has finished.
  bool read_body(std::string& out, std::uint64_t cap);

  // Called from any thread; the answer is written on the I/O thread, or at once when this is the
  // receiving thread between two handlers.
  void post_answer(Response response, bool force_close);

 private:
  void read_head();
  void read_head_after_first_byte();
  void on_head(error_code ec);
  void refuse(std::uint16_t status, std::string_view message);
  void hand_over() override;
  void start_body_read(std::string* out, std::uint64_t cap, std::promise<bool>* done);

  std::shared_ptr<ConnectionBodyReader::Owner> hold_connection() override {
    return std::shared_ptr<ConnectionBodyReader::Owner>(shared_from_this(), this);
  }

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
  void abandon() noexcept override;

  void write_answer(Response response, bool force_close);
  void after_write(error_code ec);
  void drain_then_close();
  void drain_more();
  void close_now();

  beast::tcp_stream stream_;
  std::shared_ptr<ServerCore> core_;
  std::optional<IpAddress> peer_;
  // The peer when the per-address limits apply to it: known, and not a shared peer.
  std::optional<IpAddress> limited_peer_;
  beast::flat_buffer buffer_;

  // The request being read or answered; made afresh when the next one starts.
  std::optional<RequestState> request_;
  ConnectionBodyReader body_reader_;
  AnswerWriter answer_writer_;
  bool in_flight_ = false;  // a request was handed over and its answer is not written
  bool closing_after_write_ = false;
  std::size_t drained_ = 0;
  std::optional<net::steady_timer> drain_deadline_;  // set once a drain has started
};

class SessionBodyReader final : public torvesk::BodyReader {
 public:
  explicit SessionBodyReader(std::shared_ptr<Session> session) : session_(std::move(session)) {}
  bool read_to_end(std::string& out, std::uint64_t cap) override {
    return session_->read_body(out, cap);
  }

 private:
  std::shared_ptr<Session> session_;
};

Session::Session(tcp::socket socket, std::shared_ptr<ServerCore> core,
                 std::optional<IpAddress> peer, std::optional<IpAddress> limited_peer)
    : stream_(std::move(socket)),
      core_(std::move(core)),
      peer_(std::move(peer)),
      limited_peer_(std::move(limited_peer)),
      buffer_(kMaxBufferedBytes),
      body_reader_(*this, *core_, limited_peer_, stream_, buffer_, request_),
      answer_writer_(core_->answer_bytes) {}

Session::~Session() {
  body_reader_.release();
  answer_writer_.release_charge();
  core_->release_connection(limited_peer_);
}

void Session::read_head() {
  body_reader_.release_preread();
  request_.emplace();
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
  HeadParser& parser = request_->parser;
  buffer_.consume(parser.put(buffer_.data(), ec));
  if (ec != http::error::need_more) return on_head(ec);
  http::async_read_header(stream_, buffer_, parser,
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

  RequestState& request = *request_;
  HeadParser& parser = request.parser;
  request.head_request = parser.method == "HEAD";
  request.keep_alive = parser.keep_alive();
  request.echo_keep_alive = request.keep_alive && parser.version < 11;
  if (parser.chunked()) {
    request.body_mode = BodyMode::kChunked;
    request.body_complete = false;
  } else if (const auto length = parser.content_length(); length && *length > 0) {
    request.body_mode = BodyMode::kLength;
    request.length_left = *length;
    request.body_complete = false;
  }
  if (const std::string* expect = find_header(parser.headers, "expect")) {
    request.expect_continue =
        parser.version >= 11 && equals_ignoring_ascii_case(*expect, "100-continue");
  }
  if (body_reader_.read_ahead_if_worthwhile()) return;
  hand_over();
}

void Session::hand_over() {
  HeadParser& parser = request_->parser;
  Request request;
  request.method = std::move(parser.method);
  request.target = std::move(parser.target);
  request.headers = std::move(parser.headers);
  request.peer = peer_;
  if (const auto length = parser.content_length(); length && !parser.chunked()) {
    request.declared_length = *length;
    core_->memory.count(*length);
  }
  request.body = std::make_unique<SessionBodyReader>(shared_from_this());
  in_flight_ = true;
  core_->requests_in_flight.fetch_add(1, std::memory_order_relaxed);
  core_->memory.note_request();
  core_->deliver(Exchange(std::move(request), shared_from_this()));
}

// The layer's own refusals of requests it cannot read; the connection is not reused.
void Session::refuse(std::uint16_t status, std::string_view message) {
  request_->body_complete = false;  // whatever follows cannot be trusted as a next request
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
  if (request_->answered) {
    done->set_value(false);
    return;
  }
  if (!body_reader_.start_for_worker(out, cap, done)) {
    // This address already holds its share of workers in body reads: busy, retry later. The
    // worker's own answer to the failed read then finds the request answered.
    write_answer(busy_response(), true);
    done->set_value(false);
  }
}

// After a fault inside a handler, nothing about the connection can be trusted: it is closed, and
// whatever waits on it is released the way a failed read or write would release it.
void Session::abandon() noexcept {
  error_code ignored;
  stream_.socket().close(ignored);
  body_reader_.abandon();
  // An answer whose write was cut short never reaches after_write.
  if (request_ && request_->answered && std::exchange(in_flight_, false)) {
    core_->requests_in_flight.fetch_sub(1, std::memory_order_acq_rel);
  }
  answer_writer_.release_charge();
}

void Session::post_answer(Response response, bool force_close) {
  if (t_receiving_for == core_.get() && !t_in_layer_handler) {
    // The thread that runs every handler, between two of them: nothing else can touch the
    // session now, so the answer goes out without a trip through the event loop (the busy
    // answer).
    write_answer(std::move(response), force_close);
    return;
  }
  net::post(stream_.get_executor(),
            [self = shared_from_this(), response = std::move(response), force_close]() mutable {
              self->run_guarded([&] { self->write_answer(std::move(response), force_close); });
            });
}

void Session::write_answer(Response response, bool force_close) {
  RequestState& request = *request_;
  if (request.answered) return;
  request.answered = true;
  closing_after_write_ =
      force_close || !request.keep_alive || !request.body_complete || request.body_error;
  const std::uint64_t charged = answer_writer_.prepare(
      std::move(response), AnswerFraming{.head_request = request.head_request,
                                         .closing = closing_after_write_,
                                         .echo_keep_alive = request.echo_keep_alive});
  core_->memory.count(charged);
  core_->note_held_bytes();

  // Most answers fit into the socket at once: sent here, they need no write operation and no
  // further handler. What the socket does not take goes out through the stream, with its timeout.
  const error_code ec = answer_writer_.send_what_the_socket_takes(stream_.socket().native_handle());
  if (ec || answer_writer_.all_sent()) return after_write(ec);
  answer_writer_.write_rest(stream_, [self = shared_from_this()](error_code ec, std::size_t) {
    self->run_guarded([&] { self->after_write(ec); });
  });
}

void Session::after_write(error_code ec) {
  stream_.expires_never();
  answer_writer_.finish();
  if (std::exchange(in_flight_, false) &&
      core_->requests_in_flight.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    core_->memory.after_last_answer();
  }
  if (ec) return close_now();
  if (!closing_after_write_) return read_head();
  if (request_->body_error) return close_now();  // nothing worth draining on a failed connection
  drain_then_close();
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
  body_reader_.fail_waiting_worker();
}

void ServerCore::accept_next() {
  acceptor.async_accept([core = shared_from_this()](error_code ec, tcp::socket socket) {
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
      tcp::socket more(core->io);
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
  impl->core->memory.watch_for_quiet(impl->core);
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
    core->memory.stop();
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
