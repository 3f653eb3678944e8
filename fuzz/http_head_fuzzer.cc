// The request reading of the HTTP layer without sockets: the input is what a client sends on one
// connection, handed to the HeadParser in pieces the way Beast's reads hand it over (the head
// with eager off, then a chunked body with eager on into the sink, then the next request of a
// kept-alive connection). Checked:
// - a head that parses parses the same when it arrives whole, and its framing is unambiguous
//   (Transfer-Encoding only as exactly "chunked", on HTTP/1.1, never with Content-Length);
// - a chunked body never puts more than the room it was given into the sink, and a body read to
//   its end is the same whether it arrives in pieces or whole.
//
// Input: byte 0 sets the piece size of the reads (0: everything at once), byte 1 the room of a
// body read, the rest is the byte stream.
#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "fuzz_check.h"
#include "server/http_head_parser.h"

namespace torvesk::fuzz {
namespace {

namespace http = boost::beast::http;
using http_detail::HeadParser;

// A connection rarely carries more; more requests add nothing new to the parser.
constexpr int kMaxRequests = 4;

// The client side of one connection: bytes arrive in pieces of a fixed size.
class Connection {
 public:
  Connection(std::string_view stream, std::size_t piece) : stream_(stream), piece_(piece) {}

  // Unconsumed received bytes, as the session's buffer holds them.
  std::string buffer;

  // One socket read; false at the end of the stream.
  bool receive() {
    if (next_ >= stream_.size()) return false;
    const std::size_t n = std::min(piece_, stream_.size() - next_);
    buffer.append(stream_.substr(next_, n));
    next_ += n;
    return true;
  }

  // Position in the stream of the first unconsumed byte.
  std::size_t position() const { return next_ - buffer.size(); }

  // Drops `n` bytes that are read past (a Content-Length body); fewer at the end of the stream.
  void skip(std::uint64_t n) {
    while (n > 0) {
      if (buffer.empty() && !receive()) return;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, buffer.size()));
      buffer.erase(0, take);
      n -= take;
    }
  }

  std::string_view stream() const { return stream_; }
  bool can_receive() const { return next_ < stream_.size(); }

 private:
  std::string_view stream_;
  std::size_t piece_;
  std::size_t next_ = 0;
};

// Parses from the connection until `finished` says so, as Beast's read operations do: the
// parser sees every unconsumed byte, and more are read only when it needs more (or, without
// parsing, while `hold` says the bytes so far cannot be enough). Returns the parser's error, or
// end_of_stream when the stream ended before any byte of this message.
template <class Finished, class Hold>
boost::system::error_code read_until(Connection& connection, HeadParser& parser, Finished finished,
                                     Hold hold) {
  boost::system::error_code ec;
  for (;;) {
    if (!connection.buffer.empty() && !hold()) {
      const std::size_t used =
          parser.put(boost::asio::buffer(connection.buffer.data(), connection.buffer.size()), ec);
      connection.buffer.erase(0, used);
      if (ec && ec != http::error::need_more) return ec;
      if (!ec && finished()) return ec;
    }
    if (!connection.receive()) {
      if (!parser.got_some()) return http::error::end_of_stream;
      parser.put_eof(ec);
      return ec;
    }
  }
}

bool has_header(const HeadParser& parser, std::string_view name) {
  return std::any_of(parser.headers.begin(), parser.headers.end(),
                     [&](const Header& h) { return equals_ignoring_ascii_case(h.name, name); });
}

void check_framing(const HeadParser& parser) {
  for (const Header& header : parser.headers) {
    FUZZ_CHECK(!header.name.empty());
    FUZZ_CHECK(header.name.find_first_of("\r\n:") == std::string::npos);
    FUZZ_CHECK(header.value.find_first_of("\r\n") == std::string::npos);
  }
  if (has_header(parser, "transfer-encoding")) {
    FUZZ_CHECK(parser.chunked());
    FUZZ_CHECK(!has_header(parser, "content-length"));
    FUZZ_CHECK(parser.version == 11);
  }
  FUZZ_CHECK(!(parser.chunked() && parser.content_length()));
}

// The same head given whole to a fresh parser.
void check_whole_head(std::string_view head, const HeadParser& parsed) {
  HeadParser parser;
  boost::system::error_code ec;
  const std::size_t used = parser.put(boost::asio::buffer(head.data(), head.size()), ec);
  FUZZ_CHECK(!ec);
  FUZZ_CHECK(used == head.size());
  FUZZ_CHECK(parser.is_header_done());
  FUZZ_CHECK(parser.method == parsed.method && parser.target == parsed.target);
  FUZZ_CHECK(parser.version == parsed.version);
  FUZZ_CHECK(parser.headers.size() == parsed.headers.size());
  for (std::size_t i = 0; i < parser.headers.size(); ++i) {
    FUZZ_CHECK(parser.headers[i].name == parsed.headers[i].name);
    FUZZ_CHECK(parser.headers[i].value == parsed.headers[i].value);
  }
  FUZZ_CHECK(parser.chunked() == parsed.chunked());
  FUZZ_CHECK(parser.content_length() == parsed.content_length());
}

// The same request (head and complete chunked body) given whole to a fresh parser.
void check_whole_body(std::string_view request, std::string_view body) {
  HeadParser parser;
  boost::system::error_code ec;
  std::size_t used = parser.put(boost::asio::buffer(request.data(), request.size()), ec);
  FUZZ_CHECK(!ec && parser.is_header_done());
  std::string whole;
  parser.sink = &whole;
  parser.sink_room = std::numeric_limits<std::uint64_t>::max();
  parser.eager(true);
  request.remove_prefix(used);
  used = parser.put(boost::asio::buffer(request.data(), request.size()), ec);
  FUZZ_CHECK(!ec);
  FUZZ_CHECK(used == request.size());
  FUZZ_CHECK(parser.is_done());
  FUZZ_CHECK(whole == body);
}

// One request; false when the connection would not carry another.
bool read_request(Connection& connection, std::uint64_t room) {
  HeadParser parser;
  const std::size_t start = connection.position();
  const boost::system::error_code head_ec = read_until(
      connection, parser, [&] { return parser.is_header_done(); }, [] { return false; });
  if (head_ec) return false;  // 400, 431 or a closed connection
  FUZZ_CHECK(parser.is_header_done());
  check_framing(parser);
  const std::size_t head_end = connection.position();
  check_whole_head(connection.stream().substr(start, head_end - start), parser);

  if (parser.chunked()) {
    std::string body;
    parser.eager(true);
    parser.sink = &body;
    parser.sink_room = room;
    // Beast 1.81 asserts that a last chunk seen in an earlier call comes with at least 5 bytes,
    // which is wrong for a body that is only the last chunk ("0\r\n", then one more byte); the
    // code after the assertion is right, and builds with NDEBUG never stop there. Such a body is
    // not given to the parser 4 bytes at a time: 4 bytes can never be a whole chunked body.
    const std::size_t body_start = connection.position();
    const auto on_wrong_assertion = [&] {
      return connection.position() == body_start && connection.buffer.size() == 4;
    };
    const boost::system::error_code body_ec = read_until(
        connection, parser, [&] { return parser.is_done() || parser.sink_overflowed; },
        on_wrong_assertion);
    parser.sink = nullptr;
    FUZZ_CHECK(body.size() <= room);
    if (parser.sink_overflowed) {
      FUZZ_CHECK(parser.sink_room == 0 && body.size() == room);
      return false;  // the rest of the body is never read
    }
    FUZZ_CHECK(body.size() + parser.sink_room == room);
    if (body_ec || !parser.is_done()) return false;
    check_whole_body(connection.stream().substr(start, connection.position() - start), body);
  } else if (const auto length = parser.content_length()) {
    connection.skip(*length);
  }
  return parser.keep_alive();
}

}  // namespace
}  // namespace torvesk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace torvesk::fuzz;
  if (size < 2) return 0;
  const std::size_t piece = data[0] == 0 ? size : data[0];
  // Room of a body read: what the handler asks for (up to about 4 KiB here), or no limit.
  const std::uint64_t room =
      data[1] == 0xff ? std::numeric_limits<std::uint64_t>::max() : 1 + std::uint64_t{data[1]} * 16;
  Connection connection(input_text(data + 2, size - 2), piece);
  for (int i = 0; i < kMaxRequests; ++i) {
    if (!read_request(connection, room)) break;
  }
  return 0;
}
