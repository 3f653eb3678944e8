#include "server/answer_writer.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <boost/beast/http/status.hpp>
#include <cerrno>

namespace torvesk::http_detail {

namespace net = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

std::uint64_t AnswerWriter::prepare(Response response, const AnswerFraming& framing) {
  answer_ = std::move(response);
  head_request_ = framing.head_request;
  head_.clear();
  head_ += "HTTP/1.1 ";
  head_ += std::to_string(answer_.status);
  head_ += ' ';
  const boost::beast::string_view reason =
      http::obsolete_reason(static_cast<http::status>(answer_.status));
  head_.append(reason.data(), reason.size());
  head_ += "\r\n";
  for (const auto& [name, value] : answer_.headers) {
    head_ += name;
    head_ += ": ";
    head_ += value;
    head_ += "\r\n";
  }
  head_ += "Content-Length: ";
  head_ += std::to_string(answer_.body.size());
  head_ += "\r\n";
  if (framing.closing) {
    head_ += "Connection: close\r\n";
  } else if (framing.echo_keep_alive) {
    head_ += "Connection: keep-alive\r\n";
  }
  head_ += "\r\n";
  sent_ = 0;
  charged_ = head_.size() + answer_.body.size();
  held_bytes_.fetch_add(charged_, std::memory_order_relaxed);
  return charged_;
}

std::array<net::const_buffer, 2> AnswerWriter::unsent() const {
  // A HEAD answer announces the body's length but carries none.
  const net::const_buffer body = head_request_ ? net::const_buffer() : net::buffer(answer_.body);
  if (sent_ < head_.size()) return {net::buffer(head_) + sent_, body};
  return {body + (sent_ - head_.size()), net::const_buffer()};
}

error_code AnswerWriter::send_what_the_socket_takes(int socket) {
  for (;;) {
    const std::array<net::const_buffer, 2> pending = unsent();
    if (net::buffer_size(pending) == 0) return {};
    std::array<iovec, 2> pieces{};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      pieces[i].iov_base = const_cast<void*>(pending[i].data());
      pieces[i].iov_len = pending[i].size();
    }
    msghdr message{};
    message.msg_iov = pieces.data();
    message.msg_iovlen = pieces.size();
    const ssize_t sent = ::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      sent_ += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return error_code(errno, boost::system::system_category());
    }
    return {};  // the socket is full for now
  }
}

}  // namespace torvesk::http_detail
