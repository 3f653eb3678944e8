// The HTTP layer in process, with a fault injected into its own handlers: the worker waiting on a
// body read must always be released and the connection closed, and the layer must go on serving.
#include "server/http_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

#include "server/http_testing.h"
#include "server/response.h"
#include "support/monitor_process.h"

namespace torvesk {
namespace {

using namespace std::chrono_literals;
using testing::Connection;

// One receiving thread and one worker thread around an HttpServer on a free loopback port. The
// worker reads each request's body and answers 200 with it, or 400 when the read fails; the
// outcome of every body read is handed to the test.
class LayerUnderTest {
 public:
  LayerUnderTest() {
    auto started = HttpServer::start(*parse_ip_address("127.0.0.1"), 0);
    if (auto* server = std::get_if<std::unique_ptr<HttpServer>>(&started)) {
      server_ = std::move(*server);
    }
    if (!server_) return;
    receiving_ = std::thread([this, shared = shared_] {
      while (std::optional<Exchange> exchange = server_->receive()) {
        std::lock_guard lock(shared->mutex);
        shared->received.push_back(std::move(*exchange));
        shared->changed.notify_all();
      }
    });
    // Detached, and holding only the shared state: a worker that a fault left waiting for good
    // must not hang the end of the test too.
    std::thread(work, shared_).detach();
  }
  ~LayerUnderTest() {
    if (!server_) return;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->stopping = true;
      shared_->changed.notify_all();
    }
    server_->stop();
    receiving_.join();
  }

  HttpServer* server() const { return server_.get(); }
  // The outcome of the next body read, or nullopt when none comes within `timeout`.
  std::optional<bool> next_read(std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    if (!shared_->changed.wait_for(lock, timeout, [&] { return !shared_->reads.empty(); })) {
      return std::nullopt;
    }
    const bool ok = shared_->reads.front();
    shared_->reads.pop_front();
    return ok;
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Exchange> received;  // guarded by mutex
    std::deque<bool> reads;         // guarded by mutex
    bool stopping = false;          // guarded by mutex
  };

  static void work(std::shared_ptr<Shared> shared) {
    for (;;) {
      std::optional<Exchange> exchange;
      {
        std::unique_lock lock(shared->mutex);
        shared->changed.wait(lock, [&] { return shared->stopping || !shared->received.empty(); });
        if (shared->stopping) return;
        exchange.emplace(std::move(shared->received.front()));
        shared->received.pop_front();
      }
      std::string body;
      const bool ok = exchange->request().body->read_to_end(body, 1 << 20);
      {
        std::lock_guard lock(shared->mutex);
        shared->reads.push_back(ok);
        shared->changed.notify_all();
      }
      exchange->answer(ok ? text_response(200, body) : text_response(400, "unreadable body"));
    }
  }

  std::unique_ptr<HttpServer> server_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::thread receiving_;
};

std::string push_head(std::size_t length, bool expect_continue) {
  return "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(length) +
         "\r\n" + (expect_continue ? "Expect: 100-continue\r\n" : "") + "\r\n";
}

TEST(HttpLayerFaults, AFaultWhileAWorkerWaitsForItsBodyReleasesTheWorker) {
  LayerUnderTest layer;
  ASSERT_NE(layer.server(), nullptr);
  const std::uint16_t port = layer.server()->local_port();
  const std::string body = "0123456789";
  struct Case {
    const char* name;
    bool chunked;
  };
  for (const Case& c : {Case{"content-length body", false}, Case{"chunked body", true}}) {
    SCOPED_TRACE(c.name);
    Connection connection("127.0.0.1", port);
    ASSERT_TRUE(connection.connected());
    const std::string head =
        c.chunked ? "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                    "Expect: 100-continue\r\n\r\n"
                  : push_head(body.size(), true);
    ASSERT_TRUE(connection.send(head));
    // The worker is inside the read once the interim answer has come.
    const auto interim = connection.read_response(5s);
    ASSERT_TRUE(interim);
    ASSERT_EQ(interim->status, 100);
    http_testing::fail_body_reads(1);
    ASSERT_TRUE(connection.send(c.chunked ? "a\r\n" + body + "\r\n0\r\n\r\n" : body));
    const std::optional<bool> read = layer.next_read(10s);
    ASSERT_TRUE(read.has_value()) << "the worker is still waiting for its body";
    EXPECT_FALSE(*read);
    EXPECT_FALSE(connection.read_response(5s)) << "the connection is closed";
  }
  http_testing::fail_body_reads(0);

  // The layer goes on: a new connection is served in full.
  Connection next("127.0.0.1", port);
  ASSERT_TRUE(next.send(push_head(body.size(), false) + body));
  const auto answer = next.read_response(5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, body);
  EXPECT_EQ(layer.next_read(5s), std::optional<bool>(true));
}

}  // namespace
}  // namespace torvesk
