// The real binary over raw HTTP: keep-alive, framing refusals, 100 Continue, the busy answer with
// its queue order, header order, clients that go away.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "support/monitor_process.h"

namespace torvesk::testing {
namespace {

const std::string kEvent = "{\"type\":\"NodeLog\",\"run_id\":\"r\",\"ts\":1}\n";

// The handler's own headers followed by the five security headers, nothing else but framing.
void expect_headers(const HttpResponse& response, const std::vector<std::string>& leading) {
  std::vector<std::string> names;
  for (const auto& [name, value] : response.headers) {
    if (name != "Content-Length" && name != "Connection") names.push_back(name);
  }
  std::vector<std::string> expected = leading;
  expected.insert(expected.end(), security_header_names().begin(), security_header_names().end());
  EXPECT_EQ(names, expected);
  EXPECT_EQ(response.header("Cache-Control"), "no-store");
  EXPECT_EQ(response.header("X-Frame-Options"), "DENY");
}

TEST(HttpLayer, EveryKindOfAnswerCarriesTheSecurityHeadersInOrder) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  struct Case {
    std::string name;
    std::string method;
    std::string target;
    int status;
    std::vector<std::string> leading;
    std::string content_type;
  };
  const std::vector<Case> cases = {
      {"plain text refusal", "PUT", "/ingest", 404, {"Content-Type"}, "text/plain; charset=UTF-8"},
      {"page", "GET", "/", 200, {"Content-Type"}, "text/html; charset=utf-8"},
      {"json", "GET", "/api/runs", 200, {"Content-Type"}, "application/json"},
      {"download refusal",
       "GET",
       "/api/runs/x/download",
       404,
       {"Content-Type"},
       "text/plain; charset=UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto response = http_request(monitor, c.method, c.target);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->header("Content-Type"), c.content_type);
    expect_headers(*response, c.leading);
  }
  const auto pushed = ingest(monitor, kEvent);
  ASSERT_TRUE(pushed);
  EXPECT_EQ(pushed->body, "{\"ok\":true}");
  expect_headers(*pushed, {"Content-Type"});
}

TEST(HttpLayer, ServesThePageByteForByte) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  const auto page = http_request(monitor, "GET", "/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body,
            read_file(std::string(TORVESK_SOURCE_DIR) + "/assets/dashboard/index.html"));
}

TEST(HttpLayer, KeepAliveHeadAndPipelinedRequestsShareOneConnection) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  Connection connection(monitor.address(), monitor.port());
  ASSERT_TRUE(connection.connected());

  // HEAD gets the 404 head with its length but no body: the next answer must parse cleanly.
  ASSERT_TRUE(connection.send(request_text(monitor, "HEAD", "/", {}, "")));
  const auto head = connection.read_response(10s, /*head_request=*/true);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 404);
  EXPECT_EQ(head->header("Content-Length"), "9");

  // Two requests in one write are answered in order on the same connection.
  ASSERT_TRUE(connection.send(request_text(monitor, "POST", "/x", {}, "") +
                              request_text(monitor, "GET", "/api/runs", {}, "")));
  const auto first = connection.read_response();
  const auto second = connection.read_response();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->status, 404);
  EXPECT_EQ(first->body, "not found");
  EXPECT_EQ(second->status, 200);
  EXPECT_EQ(second->header("Content-Type"), "application/json");
  EXPECT_TRUE(connection.stays_silent(200ms)) << "the connection stays open for more";
}

TEST(HttpLayer, ARefusalAfterAHeadRequestCarriesItsBody) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  Connection connection(monitor.address(), monitor.port());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.send(request_text(monitor, "HEAD", "/", {}, "")));
  ASSERT_TRUE(connection.read_response(10s, /*head_request=*/true));

  // Whether an answer goes without its body is the HEAD request's alone: the next request's
  // refusal announces its body and sends it.
  ASSERT_TRUE(connection.send("GET / HTTP/1.1\r\nHost: " + monitor.address() + ":" +
                              std::to_string(monitor.port()) + "\r\nContent-Length: x\r\n\r\n"));
  const auto refused = connection.read_response();
  ASSERT_TRUE(refused) << "the refusal's body never came";
  EXPECT_EQ(refused->status, 400);
  EXPECT_EQ(refused->body, "bad request");
}

// Sends `request` with its head cut in four pieces, 20 ms apart, so that they arrive in separate
// reads; the body follows with the last piece. Send failures are left to the answer's check: the
// monitor may refuse before the last piece.
void send_head_in_pieces(Connection& connection, const std::string& request) {
  std::size_t head_end = request.find("\r\n\r\n");
  head_end = head_end == std::string::npos ? request.size() : head_end + 2;
  const std::vector<std::size_t> cuts = {head_end / 3, head_end * 2 / 3, head_end - 1};
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    connection.send(std::string_view(request).substr(from, cut - from));
    from = cut;
    std::this_thread::sleep_for(20ms);
  }
  connection.send(std::string_view(request).substr(from));
}

TEST(HttpLayer, AmbiguousFramingIsRefusedWithTheConnectionClosedAndNothingStored) {
  MonitorOptions options;
  options.env = {{"MONITOR_MAX_BODY_BYTES", "1000"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  const std::string event = "{\"type\":\"X\",\"run_id\":\"smuggled\",\"ts\":1}\n";
  const std::string length = std::to_string(event.size());
  const std::string chunk_size = "28";  // the event's length in hexadecimal
  const std::string chunk = chunk_size + "\r\n" + event + "\r\n0\r\n\r\n";
  const std::string start =
      "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: application/x-ndjson\r\n";
  const std::string over_limit = event + std::string(1100, ' ');
  struct Case {
    std::string name;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"length then chunked",
       start + "Content-Length: " + std::to_string(chunk.size()) +
           "\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk,
       400},
      {"chunked then length",
       start + "Transfer-Encoding: chunked\r\nContent-Length: " + std::to_string(chunk.size()) +
           "\r\n\r\n" + chunk,
       400},
      {"other coding with length",
       start + "Transfer-Encoding: gzip\r\nContent-Length: " + std::to_string(event.size()) +
           "\r\n\r\n" + event,
       400},
      {"other coding alone", start + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunk, 400},
      {"chunked twice",
       start + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk, 400},
      {"chunked on HTTP/1.0",
       "POST /ingest HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: application/x-ndjson\r\n"
       "Transfer-Encoding: chunked\r\n\r\n" +
           chunk,
       400},
      {"two different lengths",
       start + "Content-Length: " + std::to_string(event.size()) + "\r\nContent-Length: 5\r\n\r\n" +
           event,
       400},
      {"oversized head", start + "X-Filler: " + std::string(20000, 'a') + "\r\n\r\n", 431},
      {"length over the limit", start + "Content-Length: 1100\r\n\r\n" + over_limit, 413},
      // A chunk that claims 4 GiB is cut at the limit, not waited for.
      {"chunk size over the limit",
       start + "Transfer-Encoding: chunked\r\n\r\nffffffff\r\n" + over_limit, 413},
      {"length beyond 64 bits", start + "Content-Length: 99999999999999999999999\r\n\r\n" + event,
       400},
      {"chunk size beyond 64 bits",
       start + "Transfer-Encoding: chunked\r\n\r\n1" + std::string(16, '0') + chunk, 400},
      {"signed length", start + "Content-Length: +" + length + "\r\n\r\n" + event, 400},
      {"length folded onto the next line",
       start + "Content-Length:\r\n " + length + "\r\n\r\n" + event, 400},
      {"coding folded onto the next line",
       start + "Transfer-Encoding:\r\n\tchunked\r\n\r\n" + chunk, 400},
      {"other header folded",
       start + "X-Note: a\r\n b\r\nContent-Length: " + length + "\r\n\r\n" + event, 400},
      {"blank before the colon of a length",
       start + "Content-Length : " + length + "\r\n\r\n" + event, 400},
      {"blank before the colon of a coding", start + "Transfer-Encoding\t: chunked\r\n\r\n" + chunk,
       400},
      {"bare line feeds",
       "POST /ingest HTTP/1.1\nHost: 127.0.0.1\nContent-Type: application/x-ndjson\n"
       "Content-Length: " +
           length + "\n\n" + event,
       400},
      {"bare line feed after one header",
       start + "Content-Length: " + length + "\nX-Note: a\r\n\r\n" + event, 400},
      {"bare line feed after a chunk size",
       start + "Transfer-Encoding: chunked\r\n\r\n" + chunk_size + "\n" + event + "\r\n0\r\n\r\n",
       400},
  };
  // Each shape is sent whole, then with its head cut into pieces that arrive apart, so that the
  // head is read both in one piece and across several reads.
  std::size_t refused = 0;
  for (const bool in_pieces : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name + (in_pieces ? ", head in pieces" : ", sent whole"));
      Connection connection(monitor.address(), monitor.port());
      if (in_pieces) {
        send_head_in_pieces(connection, c.request);
      } else {
        ASSERT_TRUE(connection.send(c.request));
      }
      const auto response = connection.read_response();
      ASSERT_TRUE(response);
      EXPECT_EQ(response->status, c.status);
      EXPECT_EQ(response->header("Connection"), "close");
      const bool closed = connection.closed_cleanly();
      EXPECT_TRUE(closed);
      if (!in_pieces && response->status == c.status && closed) ++refused;
    }
  }
  const auto detail = http_request(monitor, "GET", "/api/runs/smuggled");
  ASSERT_TRUE(detail);
  EXPECT_EQ(detail->body, "{\"error\":\"run not found\"}");
  std::printf(
      "[figure] framing: %zu/%zu ambiguous or malformed shapes refused with the connection "
      "closed, nothing stored\n",
      refused, cases.size());
}

TEST(HttpLayer, HeadsArrivingInPiecesAreServedOnAKeptConnection) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  const std::string event = "{\"type\":\"X\",\"run_id\":\"pieces\",\"ts\":3}\n";
  Connection connection(monitor.address(), monitor.port());
  send_head_in_pieces(connection,
                      "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Content-Type: application/x-ndjson\r\nContent-Length: " +
                          std::to_string(event.size()) + "\r\n\r\n" + event);
  const auto pushed = connection.read_response();
  ASSERT_TRUE(pushed);
  EXPECT_EQ(pushed->status, 200);
  send_head_in_pieces(connection, "GET /api/runs/pieces HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const auto detail = connection.read_response();
  ASSERT_TRUE(detail);
  EXPECT_EQ(detail->status, 200);
  EXPECT_NE(detail->body.find("\"ts\":3"), std::string::npos) << detail->body;
}

TEST(HttpLayer, ChunkedBodiesAreReadAndCappedAtTheLimit) {
  MonitorOptions options;
  options.env = {{"MONITOR_MAX_BODY_BYTES", "44"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  const std::string event = "{\"type\":\"X\",\"run_id\":\"chunky\",\"ts\":12}\n";
  // Returns the answer and whether the connection then ended (cleanly) rather than staying open.
  auto chunked_post = [&](const std::string& body) {
    Connection connection(monitor.address(), monitor.port());
    std::string text =
        "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json"
        "\r\nTransfer-Encoding: chunked\r\n\r\n";
    // Two chunks, to cross a chunk boundary.
    const std::size_t half = body.size() / 2;
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", half);
    text += size + body.substr(0, half) + "\r\n";
    std::snprintf(size, sizeof size, "%zx\r\n", body.size() - half);
    text += size + body.substr(half) + "\r\n0\r\n\r\n";
    connection.send(text);
    auto response = connection.read_response();
    const bool closed = !connection.stays_silent(300ms) && connection.closed_cleanly(2s);
    return std::make_pair(response, closed);
  };
  const auto [fits, fits_closed] = chunked_post(event + std::string(44 - event.size(), ' '));
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->status, 200);
  EXPECT_FALSE(fits_closed) << "a fully read body keeps the connection";

  const auto [over, over_closed] = chunked_post(event + std::string(45 - event.size(), ' '));
  ASSERT_TRUE(over);
  EXPECT_EQ(over->status, 413);
  EXPECT_EQ(over->body, "body too large");

  // Reading stops at the limit; what is left unread means the connection cannot be reused.
  const auto [far_over, far_over_closed] = chunked_post(event + std::string(4000, ' '));
  ASSERT_TRUE(far_over);
  EXPECT_EQ(far_over->status, 413);
  EXPECT_EQ(far_over->header("Connection"), "close");
  EXPECT_TRUE(far_over_closed);

  const auto detail = http_request(monitor, "GET", "/api/runs/chunky");
  ASSERT_TRUE(detail);
  EXPECT_NE(detail->body.find("\"events\":[{\"type\":\"X\""), std::string::npos) << detail->body;
}

// Answers far larger than one socket write must arrive whole, however the writes are split.
TEST(HttpLayer, LargeAnswersArriveWhole) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  std::string body;
  for (int i = 0; i < 20000; ++i) {
    body += "{\"type\":\"NodeLog\",\"run_id\":\"big\",\"ts\":" + std::to_string(i) +
            ",\"payload\":{\"msg\":\"" + std::string(100, 'x') + "\"}}\n";
  }
  const auto pushed = ingest(monitor, body);
  ASSERT_TRUE(pushed);
  ASSERT_EQ(pushed->status, 200);
  const auto download = http_request(monitor, "GET", "/api/runs/big/download");
  ASSERT_TRUE(download);
  EXPECT_EQ(download->body, body);
  const auto detail = http_request(monitor, "GET", "/api/runs/big");
  ASSERT_TRUE(detail);
  EXPECT_GT(detail->body.size(), body.size());
  EXPECT_TRUE(detail->body.ends_with("\"msg\":\"" + std::string(100, 'x') + "\"}}]}"))
      << detail->body.substr(detail->body.size() - 200);
}

// A chunk header that never ends may not make the monitor buffer it without bound: the read
// fails once the buffer is full, long before the body timeout.
TEST(HttpLayer, EndlessChunkHeaderFailsTheRead) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  Connection connection(monitor.address(), monitor.port());
  ASSERT_TRUE(
      connection.send("POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Content-Type: application/x-ndjson\r\n"
                      "Transfer-Encoding: chunked\r\n\r\n1;" +
                      std::string(512 * 1024, 'a')));
  const auto response = connection.read_response(10s);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 400);
  EXPECT_EQ(response->body, "unreadable body");
}

// A refusal sent before the body is read must reach the client whole (no reset), however much of
// the body is on its way; and what the client still sends afterwards is taken for a bounded
// amount and time only.
TEST(HttpLayer, BodiesLeftUnreadAfterARefusalAreDrainedWithinBounds) {
  MonitorOptions options;
  options.env = {{"MONITOR_MAX_BODY_BYTES", "1000"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  const auto head = [](std::uint64_t length) {
    return "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-ndjson\r\n"
           "Content-Length: " +
           std::to_string(length) + "\r\n\r\n";
  };
  {
    SCOPED_TRACE("a whole 1 MiB body sent behind its head");
    Connection connection(monitor.address(), monitor.port());
    const std::string body(1024 * 1024, ' ');
    ASSERT_TRUE(connection.send(head(body.size()) + body));
    const auto response = connection.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 413);
    EXPECT_EQ(response->header("Connection"), "close");
    EXPECT_TRUE(connection.closed_cleanly()) << "closed without a reset";
  }
  {
    SCOPED_TRACE("a client that never stops sending");
    Connection connection(monitor.address(), monitor.port());
    ASSERT_TRUE(connection.send(head(1ull << 40)));
    const std::string piece(64 * 1024, ' ');
    std::size_t sent = 0;
    constexpr std::size_t kGiveUpBytes = 256 * 1024 * 1024;
    while (sent < kGiveUpBytes && connection.send(piece)) sent += piece.size();
    EXPECT_LT(sent, 64u * 1024 * 1024) << "the monitor stopped taking bytes after its drain limit";
  }
  {
    SCOPED_TRACE("a client that trickles its body");
    Connection connection(monitor.address(), monitor.port());
    ASSERT_TRUE(connection.send(head(1000000)));
    const auto response = connection.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 413);
    // The answer's end of stream comes at once; sends start failing once the monitor has
    // closed its side for good.
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
      std::this_thread::sleep_for(100ms);
      ended = !connection.send(std::string(100, ' '));
    }
    EXPECT_TRUE(ended) << "the monitor still took bytes after 10 s of trickling";
  }
  EXPECT_EQ(http_request(monitor, "GET", "/api/runs")->status, 200);
}

TEST(HttpLayer, ExpectContinueGetsRefusalsWithoutSendingItsBodyAndContinueOtherwise) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  {
    Connection connection(monitor.address(), monitor.port());
    ASSERT_TRUE(
        connection.send("POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Content-Type: text/plain\r\nContent-Length: 100\r\n"
                        "Expect: 100-continue\r\n\r\n"));
    const auto response = connection.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 415) << "no 100 Continue before a refusal";
    EXPECT_EQ(response->body, "content-type must be application/x-ndjson");
    EXPECT_EQ(response->header("Connection"), "close");
    EXPECT_TRUE(connection.closed_cleanly()) << "closed without a reset";
  }
  {
    Connection connection(monitor.address(), monitor.port());
    ASSERT_TRUE(
        connection.send("POST /ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Content-Type: application/x-ndjson\r\nContent-Length: " +
                        std::to_string(kEvent.size()) + "\r\nExpect: 100-continue\r\n\r\n"));
    const auto interim = connection.read_response();
    ASSERT_TRUE(interim);
    EXPECT_EQ(interim->status, 100);
    ASSERT_TRUE(connection.send(kEvent));
    const auto response = connection.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
  }
}

// Sends the head of a push of `length` bytes that waits for "100 Continue"; the status of the
// first answer, 0 when none came.
int send_push_head_awaiting_continue(const MonitorProcess& monitor, Connection& connection,
                                     std::size_t length) {
  if (!connection.send(request_text(monitor, "POST", "/ingest",
                                    {{"Content-Type", "application/x-ndjson"},
                                     {"Expect", "100-continue"},
                                     {"Content-Length", std::to_string(length)}},
                                    ""))) {
    return 0;
  }
  const auto interim = connection.read_response();
  return interim ? interim->status : 0;
}

// With the one worker held inside a body read, four requests wait in the queue and the fifth is
// refused at once; the four are then served in arrival order.
TEST(HttpLayer, FullQueueGivesTheBusyAnswerAndQueuedRequestsKeepTheirOrder) {
  MonitorOptions options;
  options.env = {{"MONITOR_WORKERS", "1"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());

  // A client that waits for 100 Continue is read by the worker itself: once the interim answer
  // arrives, the worker is inside the read.
  const std::string held_event = "{\"type\":\"X\",\"run_id\":\"order\",\"ts\":100}\n";
  Connection holder(monitor.address(), monitor.port());
  ASSERT_EQ(send_push_head_awaiting_continue(monitor, holder, held_event.size()), 100);
  ASSERT_TRUE(holder.send(held_event.substr(0, 10)));

  std::vector<std::unique_ptr<Connection>> queued;
  for (int i = 1; i <= 4; ++i) {
    const std::string event =
        "{\"type\":\"X\",\"run_id\":\"order\",\"ts\":" + std::to_string(100 + i) + "}\n";
    auto connection = std::make_unique<Connection>(monitor.address(), monitor.port());
    ASSERT_TRUE(connection->send(request_text(monitor, "POST", "/ingest",
                                              {{"Content-Type", "application/x-ndjson"}}, event)));
    queued.push_back(std::move(connection));
    std::this_thread::sleep_for(150ms);  // arrival order is the order sent
  }

  const auto busy = http_request(monitor, "GET", "/");
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 503);
  EXPECT_EQ(busy->body, "busy, retry later");
  EXPECT_EQ(busy->header("Retry-After"), "1");
  expect_headers(*busy, {"Content-Type", "Retry-After"});

  ASSERT_TRUE(holder.send(held_event.substr(10)));
  const auto held = holder.read_response();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->status, 200);
  for (auto& connection : queued) {
    const auto response = connection->read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
  }
  const auto detail = http_request(monitor, "GET", "/api/runs/order");
  ASSERT_TRUE(detail);
  EXPECT_NE(detail->body.find("\"events\":[{\"type\":\"X\",\"run_id\":\"order\",\"ts\":100},"
                              "{\"type\":\"X\",\"run_id\":\"order\",\"ts\":101},"
                              "{\"type\":\"X\",\"run_id\":\"order\",\"ts\":102},"
                              "{\"type\":\"X\",\"run_id\":\"order\",\"ts\":103},"
                              "{\"type\":\"X\",\"run_id\":\"order\",\"ts\":104}]"),
            std::string::npos)
      << detail->body;
}

// Connections that pile up while the monitor is not running (stopped here, busy in real life)
// are taken from the listen queue together; each still gets its own answer.
TEST(HttpLayer, ConnectionsWaitingTogetherAreEachAnswered) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  constexpr int kWaiting = 200;
  ASSERT_EQ(::kill(monitor.pid(), SIGSTOP), 0);
  std::vector<std::unique_ptr<Connection>> waiting;
  for (int i = 0; i < kWaiting; ++i) {
    waiting.push_back(std::make_unique<Connection>(monitor.address(), monitor.port()));
    ASSERT_TRUE(waiting.back()->connected());
    ASSERT_TRUE(waiting.back()->send(request_text(monitor, "GET", "/api/runs", {}, "")));
  }
  ASSERT_EQ(::kill(monitor.pid(), SIGCONT), 0);
  int served = 0;
  for (int i = 0; i < kWaiting; ++i) {
    SCOPED_TRACE("connection " + std::to_string(i));
    const auto response = waiting[i]->read_response();
    ASSERT_TRUE(response);
    // The queue holds fewer requests than arrived at once: the rest are told to come back.
    if (response->status == 200) {
      EXPECT_EQ(response->body.rfind("{\"runs\":[],", 0), 0u) << response->body;
      ++served;
    } else {
      EXPECT_EQ(response->status, 503);
    }
  }
  EXPECT_GT(served, 0);
}

// The monitor's resident size, from /proc; 0 when it cannot be read.
std::size_t resident_kib(pid_t pid) {
  std::FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  std::size_t kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmRSS: %zu kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// Large pushes one after another leave their freed buffers with the allocator; once requests
// stop, the monitor's resident size falls well below its peak instead of staying there.
TEST(HttpLayer, MemoryOfALoadIsGivenBackOnceRequestsStop) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator keeps freed memory for its own checks";
#endif
  MonitorOptions options;
  options.env = {{"MONITOR_RATE_BYTES_PER_MIN", "0"}, {"MONITOR_MAX_RUNS", "200"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  // Pushes of new events for about 180 runs each, 200 lines a run, the oldest runs evicted as
  // they go, as a busy set of runners would send them.
  for (int push = 0; push < 12; ++push) {
    std::string body;
    for (int line = 0; body.size() < 8 * 1024 * 1024 - 512; ++line) {
      body += "{\"type\":\"NodeLog\",\"ts\":" + std::to_string(1700000000000 + line) +
              ",\"payload\":{\"run_id\":\"p" + std::to_string(push) + "-" +
              std::to_string(line / 200) + "\",\"node_id\":\"n1\",\"message\":\"" +
              std::string(100 + line % 50, 'm') + "\"}}\n";
    }
    // Sent after 100 Continue, as curl sends large bodies, so that a worker reads it.
    Connection connection(monitor.address(), monitor.port());
    ASSERT_EQ(send_push_head_awaiting_continue(monitor, connection, body.size()), 100);
    ASSERT_TRUE(connection.send(body));
    const auto answer = connection.read_response();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200);
  }
  const std::size_t after_load = resident_kib(monitor.pid());
  ASSERT_GT(after_load, 0u);
  std::size_t now = after_load;
  for (int wait = 0; wait < 50 && now + 8 * 1024 > after_load; ++wait) {
    std::this_thread::sleep_for(100ms);
    now = resident_kib(monitor.pid());
  }
  EXPECT_LE(now + 8 * 1024, after_load)
      << "resident " << after_load << " KiB after the load, " << now << " KiB five seconds later";
}

// A body sent slowly is read by the layer before its request is queued: the one worker stays
// free for others meanwhile, and the slow request is served once its body is complete.
TEST(HttpLayer, SlowBodyHoldsNoWorker) {
  MonitorOptions options;
  options.env = {{"MONITOR_WORKERS", "1"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  const std::string event = "{\"type\":\"X\",\"run_id\":\"slow\",\"ts\":5}\n";
  Connection slow(monitor.address(), monitor.port());
  ASSERT_TRUE(slow.send(request_text(
      monitor, "POST", "/ingest",
      {{"Content-Type", "application/x-ndjson"}, {"Content-Length", std::to_string(event.size())}},
      "")));
  ASSERT_TRUE(slow.send(event.substr(0, 5)));
  for (int i = 0; i < 8; ++i) {
    const auto other = http_request(monitor, "GET", "/api/runs");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200) << "request " << i;
  }
  ASSERT_TRUE(slow.send(event.substr(5)));
  const auto answer = slow.read_response();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  const auto detail = http_request(monitor, "GET", "/api/runs/slow");
  ASSERT_TRUE(detail);
  EXPECT_NE(detail->body.find("\"ts\":5}]}"), std::string::npos) << detail->body;
}

// Clients that ask for a large download and do not read it keep their answers in the monitor's
// memory until the write times out. Past the layer's budget for such answers, new requests get
// the busy answer instead of adding to them; once the readers are gone, requests are served
// again.
TEST(HttpLayer, SlowReadersOfLargeAnswersMeetTheBusyAnswerPastTheBudget) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  // A run whose download is about 24 MiB, pushed in bodies below the 8 MiB limit.
  const std::string filler(1200, 'x');
  std::size_t download_bytes = 0;
  for (int part = 0; part < 4; ++part) {
    std::string body;
    for (int i = 0; i < 5000; ++i) {
      body += "{\"type\":\"NodeLog\",\"run_id\":\"big\",\"ts\":" + std::to_string(part * 5000 + i) +
              ",\"payload\":{\"msg\":\"" + filler + "\"}}\n";
    }
    download_bytes += body.size();
    const auto pushed = ingest(monitor, body);
    ASSERT_TRUE(pushed);
    ASSERT_EQ(pushed->status, 200);
  }

  // Each reader takes the head of its answer and nothing more.
  constexpr int kMaxReaders = 40;
  std::vector<std::unique_ptr<Connection>> readers;
  std::optional<HttpResponse> busy;
  while (!busy && readers.size() < kMaxReaders) {
    auto reader = std::make_unique<Connection>(monitor.address(), monitor.port());
    ASSERT_TRUE(reader->send(request_text(monitor, "GET", "/api/runs/big/download", {}, "")));
    auto head = reader->read_response(30s, /*head_request=*/true);
    ASSERT_TRUE(head);
    if (head->status == 503) {
      busy = head;
    } else {
      ASSERT_EQ(head->status, 200);
      readers.push_back(std::move(reader));
    }
  }
  ASSERT_TRUE(busy) << readers.size() << " answers of " << download_bytes << " bytes held";
  EXPECT_EQ(busy->header("Retry-After"), "1");
  EXPECT_GE(readers.size(), 2u) << "a few slow readers are served";
  std::printf("[figure] slow readers: the busy answer after %zu unread downloads of %.1f MiB\n",
              readers.size(), download_bytes / 1048576.0);

  readers.clear();
  std::optional<HttpResponse> after;
  for (int attempt = 0; attempt < 100 && !(after && after->status == 200); ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(50ms);
    after = http_request(monitor, "GET", "/api/runs");
  }
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200) << "served again once the readers have gone";
}

TEST(HttpLayer, ClientsThatLeaveBeforeTheirAnswerDoNotDisturbTheWorker) {
  MonitorOptions options;
  options.env = {{"MONITOR_WORKERS", "1"}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  for (int i = 0; i < 20; ++i) {
    Connection gone(monitor.address(), monitor.port());
    gone.send(request_text(monitor, "GET", "/", {}, ""));
    gone.close();
  }
  {
    // One that leaves in the middle of its body.
    Connection gone(monitor.address(), monitor.port());
    gone.send(request_text(monitor, "POST", "/ingest",
                           {{"Content-Type", "application/x-ndjson"}, {"Content-Length", "1000"}},
                           "{\"type\""));
    std::this_thread::sleep_for(100ms);
    gone.close();
  }
  const auto after = http_request(monitor, "GET", "/api/runs");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
}

// One address holding idle connections gets the ones beyond its share closed at once, however
// high or low the descriptor limit has set the connection limit; another address is still
// served, and the address gets its connections back as it closes them.
TEST(HttpLayer, OneAddressCannotTakeEveryConnection) {
  struct Case {
    std::string name;
    std::optional<rlim_t> descriptor_limit;
    std::size_t per_address;  // the share the limit leaves one address
  };
  const std::vector<Case> cases = {
      {"default descriptor limit", std::nullopt, 256},
      {"low descriptor limit", 192, 32},  // (192 - 64 reserved) / 4
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MonitorOptions options;
    options.descriptor_limit = c.descriptor_limit;
    MonitorProcess monitor(options);
    ASSERT_TRUE(monitor.started());
    constexpr std::size_t kBeyond = 8;
    std::vector<std::unique_ptr<Connection>> held;
    for (std::size_t i = 0; i < c.per_address + kBeyond; ++i) {
      held.push_back(std::make_unique<Connection>(monitor.address(), monitor.port()));
      ASSERT_TRUE(held.back()->connected()) << "connection " << i;
    }
    // The kernel completes every handshake; the monitor keeps its share and closes the rest.
    for (std::size_t i = c.per_address; i < held.size(); ++i) {
      EXPECT_TRUE(held[i]->closed_cleanly(5s)) << "connection " << i << " beyond the share";
    }
    EXPECT_TRUE(held[c.per_address - 1]->stays_silent(100ms)) << "the last one of the share";

    Connection other(monitor.address(), monitor.port(), "127.0.0.2");
    ASSERT_TRUE(other.send(request_text(monitor, "GET", "/api/runs", {}, "")));
    const auto served = other.read_response(5s);
    ASSERT_TRUE(served) << "another address is served while the first holds its share";
    EXPECT_EQ(served->status, 200);

    held.clear();
    std::optional<HttpResponse> again;
    for (int attempt = 0; attempt < 50 && !again; ++attempt) {
      std::this_thread::sleep_for(20ms);  // until the monitor has seen the closes
      again = http_request(monitor, "GET", "/api/runs");
    }
    ASSERT_TRUE(again) << "the address is served again once its connections are closed";
    EXPECT_EQ(again->status, 200);
  }
}

// Pushes that ask for 100 Continue and then send nothing: one address holds at most four workers
// in body reads (its further pushes get the busy answer at once), a silent body gives up soon and
// is answered 400, and a body read ahead that stalls half-way is answered 400 too, not closed.
// Requests from another address are served meanwhile.
TEST(HttpLayer, StalledBodiesAreAnsweredAndHoldFewWorkers) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  Connection stalled_ahead(monitor.address(), monitor.port());
  ASSERT_TRUE(stalled_ahead.send(
      request_text(monitor, "POST", "/ingest",
                   {{"Content-Type", "application/x-ndjson"}, {"Content-Length", "100"}}, "") +
      "{\"type\":"));

  std::vector<std::unique_ptr<Connection>> silent;
  std::size_t continued = 0;
  std::size_t busy = 0;
  for (int i = 0; i < 16; ++i) {
    silent.push_back(std::make_unique<Connection>(monitor.address(), monitor.port()));
    const int status = send_push_head_awaiting_continue(monitor, *silent.back(), 100);
    if (status == 100) ++continued;
    if (status == 503) ++busy;
  }
  EXPECT_EQ(continued, 4u);
  EXPECT_EQ(busy, 12u);

  Connection other(monitor.address(), monitor.port(), "127.0.0.2");
  ASSERT_TRUE(other.send(request_text(monitor, "GET", "/api/runs", {}, "")));
  const auto served = other.read_response(5s);
  ASSERT_TRUE(served) << "another address is served while the silent pushes wait";
  EXPECT_EQ(served->status, 200);

  std::size_t unreadable = 0;
  for (auto& connection : silent) {
    const auto answer = connection->read_response(10s);
    if (answer && answer->status == 400 && answer->body == "unreadable body") ++unreadable;
  }
  EXPECT_EQ(unreadable, 4u) << "each silent body that got a worker is answered 400";

  const auto ahead = stalled_ahead.read_response(20s);
  ASSERT_TRUE(ahead) << "a stalled body read ahead is answered";
  EXPECT_EQ(ahead->status, 400);
  EXPECT_EQ(ahead->body, "unreadable body");
}

// A body that has started may pause longer than a silent one may wait for its first byte: the
// timeout counts the time without progress.
TEST(HttpLayer, AStartedBodyMayPauseLongerThanASilentOneWaits) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  const std::string event = "{\"type\":\"X\",\"run_id\":\"pause\",\"ts\":7}\n";
  Connection connection(monitor.address(), monitor.port());
  ASSERT_EQ(send_push_head_awaiting_continue(monitor, connection, event.size()), 100);
  ASSERT_TRUE(connection.send(event.substr(0, 10)));
  std::this_thread::sleep_for(3s);  // longer than a worker waits for a body to start
  ASSERT_TRUE(connection.send(event.substr(10)));
  const auto answer = connection.read_response();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
}

}  // namespace
}  // namespace torvesk::testing
