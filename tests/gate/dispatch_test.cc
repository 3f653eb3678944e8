// Routing by method and path, run ids from the path, and the read gate in front of every GET.
#include "gate/dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "store/run_store.h"

namespace torvesk {
namespace {

TEST(DecodeRunId, DecodesPercentEscapesAndKeepsWhatIsNotAnEscape) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc", "abc"},
      {"", ""},
      {"a%2Fb", "a/b"},
      {"%e2%82%ac", "\xE2\x82\xAC"},
      {"%E2%82%AC", "\xE2\x82\xAC"},
      {"%FF", "%FF"},  // not UTF-8 once decoded: the raw segment
      {"a%20b%FF", "a%20b%FF"},
      {"abc%2", "abc%2"},
      {"%zz1", "%zz1"},
      {"%4g", "%4g"},
      {"%%41", "%A"},
      {"%", "%"},
      {"a%", "a%"},
      {"a+b", "a+b"},
      {"%00", std::string("\0", 1)},
  };
  for (const auto& [segment, id] : cases) {
    SCOPED_TRACE(segment);
    EXPECT_EQ(decode_run_id(segment), id);
  }
}

TEST(RequestPath, IsTheTargetUpToTheFirstQuestionMark) {
  EXPECT_EQ(request_path("/api/runs?since=1?x"), "/api/runs");
  EXPECT_EQ(request_path("/a/../b//c"), "/a/../b//c");
  EXPECT_EQ(request_path("?"), "");
}

class Dispatch : public ::testing::Test {
 protected:
  Dispatch() {
    dir_ =
        std::filesystem::temp_directory_path() / ("torvesk-dispatch-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  ~Dispatch() override { std::filesystem::remove_all(dir_); }

  ServerState make_state(std::string read_token = "") {
    return ServerState(dir_.string(), "", std::move(read_token), 1024, std::make_shared<RunStore>(),
                       0, 20);
  }

  static Response call(ServerState& state, std::string method, std::string target,
                       std::vector<Header> headers = {{"Host", "127.0.0.1:8787"}}) {
    Request request;
    request.method = std::move(method);
    request.target = std::move(target);
    request.headers = std::move(headers);
    request.peer = boost::asio::ip::make_address("127.0.0.1");
    request.body = std::make_unique<StringBodyReader>("");
    return handle_request(request, state);
  }

  std::filesystem::path dir_;
};

std::string content_type(const Response& response) {
  for (const auto& [name, value] : response.headers) {
    if (name == "Content-Type") return value;
  }
  return "";
}

TEST_F(Dispatch, RoutesByMethodAndExactPath) {
  ServerState state = make_state();
  ingest_batch(*state.store,
               "{\"type\":\"X\",\"run_id\":\"a/b\",\"ts\":7}\n"
               "{\"type\":\"X\",\"run_id\":\"download\",\"ts\":8}\n",
               state.data_dir, std::nullopt);
  const std::string page = "text/html; charset=utf-8";
  const std::string text = "text/plain; charset=UTF-8";
  const std::string json = "application/json";
  struct Case {
    std::string method;
    std::string target;
    int status;
    std::string content_type;
    std::string body_start;  // empty: not checked
  };
  const std::vector<Case> cases = {
      // Ingest: an empty body without Content-Type is refused by the ingest endpoint itself.
      {"POST", "/ingest", 415, text, "content-type must be"},
      {"POST", "/ingest?x=1", 415, text, "content-type must be"},
      {"POST", "/ingest/", 404, text, "not found"},
      {"POST", "/", 404, text, "not found"},
      {"HEAD", "/", 404, text, "not found"},
      {"OPTIONS", "/ingest", 404, text, "not found"},
      {"PUT", "/ingest", 404, text, "not found"},
      {"DELETE", "/api/runs", 404, text, "not found"},
      {"get", "/", 404, text, "not found"},
      {"GET", "/api/runs", 200, json, "{\"runs\":[{\"run_id\":\"download\""},
      {"GET", "/api/runs?since=1", 200, json, "{\"runs\":["},
      {"GET", "/api/runs/", 200, json, "{\"error\":\"run not found\"}"},
      {"GET", "/api/runs/a%2Fb", 200, json, "{\"run_id\":\"a/b\""},
      {"GET", "/api/runs/a/b", 200, json, "{\"run_id\":\"a/b\""},
      {"GET", "/api/runs/A%2FB", 200, json, "{\"error\":\"run not found\"}"},
      {"GET", "/api/runs/a%2Fb/download", 200, "application/x-ndjson", "{\"type\":\"X\""},
      {"GET", "/api/runs/abc/download", 404, text, "run not found"},
      {"GET", "/api/runs/abc/download/", 200, json, "{\"error\":\"run not found\"}"},
      {"GET", "/api/runs//download", 404, text, "run not found"},
      // Prefix and suffix overlap: the download of the empty id, not the run named "download".
      {"GET", "/api/runs/download", 404, text, "run not found"},
      {"GET", "/api/runs/download/download", 200, "application/x-ndjson", "{\"type\":\"X\""},
      {"GET", "/API/RUNS", 200, page, "<!DOCTYPE html>"},
      {"GET", "/api/runs.json", 200, page, ""},
      {"GET", "/api/run", 200, page, ""},
      {"GET", "/favicon.ico", 200, page, ""},
      {"GET", "/ingest", 200, page, ""},
      {"GET", "/", 200, page, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target);
    const Response response = call(state, c.method, c.target);
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(content_type(response), c.content_type);
    EXPECT_EQ(response.body.rfind(c.body_start, 0), 0u) << response.body.substr(0, 80);
  }
}

TEST_F(Dispatch, EveryGetPassesTheReadGateBeforeRouting) {
  ServerState local = make_state();
  EXPECT_EQ(call(local, "GET", "/favicon.ico", {{"Host", "example.com"}}).status, 403);
  EXPECT_EQ(call(local, "GET", "/api/runs", {}).status, 403);
  EXPECT_EQ(call(local, "POST", "/nothing", {}).status, 404) << "only GET is gated";

  ServerState protected_state = make_state("0123456789abcdef");
  for (const char* target : {"/", "/favicon.ico", "/api/runs", "/api/runs/x/download"}) {
    SCOPED_TRACE(target);
    const Response refused = call(protected_state, "GET", target);
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.body, "authentication required");
  }
  const Response allowed =
      call(protected_state, "GET", "/api/runs", {{"Authorization", "Bearer 0123456789abcdef"}});
  EXPECT_EQ(allowed.status, 200);
}

}  // namespace
}  // namespace torvesk
