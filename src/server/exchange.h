// One request handed over by the HTTP layer, and the duty to answer it. The layer
// (http_server.cc) makes and answers them.
#pragma once

#include <memory>

#include "server/request.h"
#include "server/response.h"

namespace torvesk {

namespace http_detail {
class Session;
class Listener;
}  // namespace http_detail

// One received request and the duty to answer it exactly once.
class Exchange {
 public:
  Exchange(Request request, std::shared_ptr<http_detail::Session> session);
  Exchange(Exchange&&) noexcept;
  Exchange& operator=(Exchange&&) noexcept;
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  // An exchange dropped without an answer answers 500 and closes its connection, so the
  // connection is always released.
  ~Exchange();

  Request& request() { return request_; }

  // Queues the answer on the request's connection and returns at once; safe on any thread,
  // including the layer's own. Send failures (the client went away) are ignored. Later calls on
  // the same exchange do nothing.
  void answer(Response response);

 private:
  Request request_;
  std::shared_ptr<http_detail::Session> session_;
};

}  // namespace torvesk
