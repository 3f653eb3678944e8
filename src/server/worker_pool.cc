#include "server/worker_pool.h"

#include <system_error>
#include <thread>

namespace torvesk {

void receive_loop(HttpServer& server, RequestQueue<Exchange>& queue, Metrics& metrics) {
  while (std::optional<Exchange> exchange = server.receive()) {
    // The busy answer is sent without reading the body; the layer then closes the connection.
    // It also goes out while slow readers hold the layer's budget of unsent answers, so that the
    // request does not add another answer to it.
    if (server.answers_over_budget() || !queue.try_put(*exchange)) {
      exchange->answer(busy_response());
      Metrics::add(metrics.busy_answers, 1);
      const Request& request = exchange->request();
      if (request.method == "POST" && request_path(request.target) == "/ingest") {
        metrics.count_push(503);
      }
    }
  }
}

void worker_loop(RequestQueue<Exchange>& queue, const RequestHandler& handler) {
  // Workers keep the process's priority: on a machine shared with busy runners, a lower one left
  // them a small share of a core, and pushes and reads slowed to a fraction of what they get at
  // the normal priority.
  while (std::optional<Exchange> exchange = queue.take()) {
    Response response;
    try {
      response = handler(exchange->request());
    } catch (...) {
      // An unexpected fault costs this one request, never the worker.
      response = text_response(500, "internal error");
    }
    exchange->answer(with_security_headers(std::move(response)));
  }
}

std::optional<std::string> start_workers(std::size_t count, RequestQueue<Exchange>& queue,
                                         RequestHandler handler) {
  for (std::size_t i = 0; i < count; ++i) {
    try {
      std::thread(worker_loop, std::ref(queue), handler).detach();
    } catch (const std::system_error& error) {
      return error.what();
    }
  }
  return std::nullopt;
}

}  // namespace torvesk
