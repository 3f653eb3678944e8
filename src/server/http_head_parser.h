// The request-head parser of the HTTP layer, on its own so that it can be tested and fuzzed
// without sockets.
#pragma once

#include <algorithm>
#include <boost/beast/http/basic_parser.hpp>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/text.h"
#include "server/http_limits.h"
#include "server/request.h"

namespace torvesk::http_detail {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::system::error_code;

// Parses one request head, keeping the headers in received order with duplicates, and feeds the
// pieces of a chunked body to whatever sink the current body read has set.
class HeadParser final : public http::basic_parser<true> {
 public:
  HeadParser() {
    header_limit(kMaxHeadBytes);
    // The layer enforces the caller's cap itself; the parser must not refuse large bodies.
    body_limit(std::numeric_limits<std::uint64_t>::max());
  }

  std::string method;
  std::string target;
  int version = 11;
  std::vector<Header> headers;

  // Destination of chunked body bytes during one body read; `sink_room` is what may still be
  // appended. Bytes beyond it are dropped and `sink_overflowed` is set.
  std::string* sink = nullptr;
  std::uint64_t sink_room = 0;
  bool sink_overflowed = false;

 private:
  void on_request_impl(http::verb, beast::string_view method_text, beast::string_view target_text,
                       int request_version, error_code&) override {
    method.assign(method_text.data(), method_text.size());
    target.assign(target_text.data(), target_text.size());
    version = request_version;
  }

  void on_response_impl(int, beast::string_view, int, error_code&) override {}

  void on_field_impl(http::field, beast::string_view name, beast::string_view value,
                     error_code& ec) override {
    // Fields after a chunked body (trailers) come through here too. They are dropped: a request's
    // headers are its head alone, and a Host or a credential sent only in a trailer must never
    // pass for one.
    if (is_header_done()) return;
    // A value folded onto a following line (obs-fold) arrives unfolded, so a folded
    // Content-Length or Transfer-Encoding would frame the body for this parser while a proxy that
    // drops or keeps the fold frames it otherwise: refused. An unfolded value starts right after
    // the colon and its blanks, in the received bytes that `name` also points into.
    const char* start = name.data() + name.size() + 1;
    while (*start == ' ' || *start == '\t') ++start;
    if (start != value.data()) {
      ec = http::error::bad_value;
      return;
    }
    headers.push_back(
        Header{std::string(name.data(), name.size()), std::string(value.data(), value.size())});
  }

  // Framing shapes that let two parsers disagree about where a request ends are refused here,
  // whatever order the headers came in.
  void on_header_impl(error_code& ec) override {
    bool has_content_length = false;
    std::string transfer_coding;
    bool has_transfer_encoding = false;
    for (const Header& header : headers) {
      if (equals_ignoring_ascii_case(header.name, "content-length")) has_content_length = true;
      if (equals_ignoring_ascii_case(header.name, "transfer-encoding")) {
        if (has_transfer_encoding) transfer_coding += ',';
        transfer_coding += header.value;
        has_transfer_encoding = true;
      }
    }
    if (!has_transfer_encoding) return;
    const bool only_chunked =
        equals_ignoring_ascii_case(trim_white_space(transfer_coding), "chunked");
    if (has_content_length || version < 11 || !only_chunked) {
      ec = http::error::bad_transfer_encoding;
    }
  }

  void on_body_init_impl(boost::optional<std::uint64_t> const&, error_code&) override {}

  // Content-Length bodies bypass the parser; it only ever sees chunked bodies.
  std::size_t on_body_impl(beast::string_view body, error_code&) override { return body.size(); }

  void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code&) override {}

  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view body, error_code&) override {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(body.size(), sink_room));
    if (sink != nullptr) sink->append(body.data(), take);
    sink_room -= take;
    if (take < body.size()) sink_overflowed = true;
    return body.size();
  }

  void on_finish_impl(error_code&) override {}
};

}  // namespace torvesk::http_detail
