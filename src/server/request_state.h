// What one request on a connection has set, from its head to its answer. A connection starts
// each request from a fresh one, so nothing of the previous request carries over.
#pragma once

#include <cstdint>
#include <string>

#include "server/http_head_parser.h"

namespace torvesk::http_detail {

enum class BodyMode { kNone, kLength, kChunked };

struct RequestState {
  HeadParser parser;

  // The body as the head framed it, and how far it has been read.
  BodyMode body_mode = BodyMode::kNone;
  std::uint64_t length_left = 0;  // Content-Length bytes not yet read
  bool body_complete = true;      // every byte of the body has been taken off the wire
  bool body_error = false;        // a body read failed or timed out; later reads fail too
  bool body_cut = false;          // bytes beyond a read's cap were dropped; later reads fail
  bool body_started = false;      // a byte of this body has arrived
  bool expect_continue = false;
  bool continue_sent = false;

  // A body read before its request is handed over, given to the first read.
  std::string preread;
  std::uint64_t preread_charged = 0;  // bytes of `preread` counted in the layer's budget
  bool prereading = false;

  bool answered = false;
  bool keep_alive = false;
  bool head_request = false;
  bool echo_keep_alive = false;  // an HTTP/1.0 client asked for keep-alive
};

}  // namespace torvesk::http_detail
