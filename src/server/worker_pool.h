// The receiving loop on the main thread and the worker threads behind the bounded queue.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "server/http_server.h"
#include "server/metrics.h"
#include "server/request_queue.h"
#include "server/response.h"

namespace torvesk {

// Every queued request is run through this; it must return an answer for every request.
using RequestHandler = std::function<Response(Request&)>;

// The queue holds this many requests per worker before the busy answer is given.
inline constexpr std::size_t kQueuePlacesPerWorker = 4;

// Offers each received request to the queue without waiting; answers the busy response itself
// when the queue is full or unsent answers fill the layer's budget. Returns when the server reports
// that no request will come any more. Busy answers are counted in `metrics`.
void receive_loop(HttpServer& server, RequestQueue<Exchange>& queue, Metrics& metrics);

// Takes requests in arrival order, runs `handler`, adds the security headers and answers. A
// handler that throws gets 500 "internal error"; the worker goes on. Returns when the queue is
// closed and drained.
void worker_loop(RequestQueue<Exchange>& queue, const RequestHandler& handler);

// Starts `count` detached workers; returns an error text when a thread cannot be created.
std::optional<std::string> start_workers(std::size_t count, RequestQueue<Exchange>& queue,
                                         RequestHandler handler);

}  // namespace torvesk
