#include "gate/client_limiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace torvesk {
namespace {

constexpr std::uint64_t kStart = 1'700'000'000'000;

IpAddress ip(const char* text) { return boost::asio::ip::make_address(text); }

// A distinct IPv6 address per number, for filling the table.
IpAddress nth_address(std::uint32_t n) {
  boost::asio::ip::address_v6::bytes_type bytes{};
  bytes[0] = 0x20;
  bytes[1] = 0x01;
  bytes[12] = static_cast<unsigned char>(n >> 24);
  bytes[13] = static_cast<unsigned char>(n >> 16);
  bytes[14] = static_cast<unsigned char>(n >> 8);
  bytes[15] = static_cast<unsigned char>(n);
  return boost::asio::ip::address_v6(bytes);
}

TEST(ClientLimiter, ByteBudgetFillsToTheLimitAndRenewsAfterTheWindow) {
  ClientLimiter limiter(1000, 20);
  const IpAddress client = ip("10.0.0.5");
  EXPECT_TRUE(limiter.charge_ingest_bytes(client, 600, kStart));
  EXPECT_TRUE(limiter.charge_ingest_bytes(client, 400, kStart + 1));
  EXPECT_FALSE(limiter.charge_ingest_bytes(client, 1, kStart + 2));
  EXPECT_EQ(limiter.window_of(client)->bytes, 1000u);  // a refused body is not charged
  EXPECT_FALSE(limiter.charge_ingest_bytes(client, 1, kStart + WINDOW_MS - 1));
  EXPECT_TRUE(limiter.charge_ingest_bytes(client, 1000, kStart + WINDOW_MS));
  EXPECT_EQ(limiter.window_of(client)->window_start, kStart + WINDOW_MS);
}

TEST(ClientLimiter, BodyOverTheLimitIsRefusedInAFreshWindow) {
  ClientLimiter limiter(1000, 20);
  EXPECT_FALSE(limiter.charge_ingest_bytes(ip("10.0.0.5"), 1001, kStart));
  EXPECT_EQ(limiter.window_of(ip("10.0.0.5"))->bytes, 0u);
}

TEST(ClientLimiter, ChargeSaturatesInsteadOfWrapping) {
  ClientLimiter limiter(UINT64_MAX - 1, 20);
  const IpAddress client = ip("10.0.0.5");
  EXPECT_TRUE(limiter.charge_ingest_bytes(client, 10, kStart));
  // 10 + UINT64_MAX would wrap to 9 and be admitted.
  EXPECT_FALSE(limiter.charge_ingest_bytes(client, UINT64_MAX, kStart));
  EXPECT_EQ(limiter.window_of(client)->bytes, 10u);
}

TEST(ClientLimiter, ZeroRateAdmitsEverythingWithoutRecords) {
  ClientLimiter limiter(0, 20);
  EXPECT_TRUE(limiter.charge_ingest_bytes(ip("10.0.0.5"), UINT64_MAX, kStart));
  EXPECT_TRUE(limiter.charge_ingest_bytes(ip("10.0.0.5"), UINT64_MAX, kStart));
  EXPECT_EQ(limiter.record_count(), 0u);
}

TEST(ClientLimiter, ZeroFailMaxNeverLocksButStillRecords) {
  ClientLimiter limiter(1000, 0);
  const IpAddress client = ip("10.0.0.5");
  EXPECT_FALSE(limiter.auth_locked_out(client, kStart));
  EXPECT_EQ(limiter.record_count(), 0u);
  for (int i = 0; i < 50; ++i) limiter.record_auth_failure(client, kStart);
  EXPECT_FALSE(limiter.auth_locked_out(client, kStart));
  EXPECT_EQ(limiter.window_of(client)->failures, 50u);
}

TEST(ClientLimiter, LockoutLastsUntilTheWindowExpires) {
  ClientLimiter limiter(1000, 20);
  const IpAddress client = ip("10.0.0.5");
  for (int i = 0; i < 19; ++i) limiter.record_auth_failure(client, kStart + i);
  EXPECT_FALSE(limiter.auth_locked_out(client, kStart + 19));
  limiter.record_auth_failure(client, kStart + 19);
  EXPECT_TRUE(limiter.auth_locked_out(client, kStart + 20));
  EXPECT_TRUE(limiter.auth_locked_out(client, kStart + WINDOW_MS - 1));
  EXPECT_FALSE(limiter.auth_locked_out(client, kStart + WINDOW_MS));
  const ClientWindow renewed = *limiter.window_of(client);
  EXPECT_EQ(renewed.window_start, kStart + WINDOW_MS);
  EXPECT_EQ(renewed.failures, 0u);
}

TEST(ClientLimiter, FailureAfterAnExpiredWindowStartsANewOne) {
  ClientLimiter limiter(1000, 20);
  const IpAddress client = ip("10.0.0.5");
  ASSERT_TRUE(limiter.charge_ingest_bytes(client, 700, kStart));
  limiter.record_auth_failure(client, kStart);
  limiter.record_auth_failure(client, kStart + 2 * WINDOW_MS);
  const ClientWindow window = *limiter.window_of(client);
  EXPECT_EQ(window.window_start, kStart + 2 * WINDOW_MS);
  EXPECT_EQ(window.failures, 1u);
  EXPECT_EQ(window.bytes, 0u);  // both counters share the window
}

TEST(ClientLimiter, IngestAfterAQuietMinuteClearsFailures) {
  ClientLimiter limiter(1000, 3);
  const IpAddress client = ip("10.0.0.5");
  for (int i = 0; i < 3; ++i) limiter.record_auth_failure(client, kStart);
  ASSERT_TRUE(limiter.auth_locked_out(client, kStart));
  ASSERT_TRUE(limiter.charge_ingest_bytes(client, 10, kStart + WINDOW_MS));
  EXPECT_EQ(limiter.window_of(client)->failures, 0u);
  EXPECT_FALSE(limiter.auth_locked_out(client, kStart + WINDOW_MS));
}

TEST(ClientLimiter, AddressFamiliesAreSeparateKeys) {
  ClientLimiter limiter(1000, 20);
  ASSERT_TRUE(limiter.charge_ingest_bytes(ip("127.0.0.1"), 1000, kStart));
  EXPECT_TRUE(limiter.charge_ingest_bytes(ip("::1"), 1000, kStart));
  EXPECT_TRUE(limiter.charge_ingest_bytes(ip("::ffff:127.0.0.1"), 1000, kStart));
  EXPECT_FALSE(limiter.charge_ingest_bytes(ip("127.0.0.1"), 1, kStart));
  EXPECT_EQ(limiter.record_count(), 3u);
}

TEST(ClientLimiter, ClockGoingBackKeepsTheCurrentWindow) {
  ClientLimiter limiter(1000, 20);
  const IpAddress client = ip("10.0.0.5");
  ASSERT_TRUE(limiter.charge_ingest_bytes(client, 1000, kStart));
  const std::uint64_t ten_minutes = 10 * WINDOW_MS;
  EXPECT_FALSE(limiter.charge_ingest_bytes(client, 1, kStart - ten_minutes));
  EXPECT_FALSE(limiter.charge_ingest_bytes(client, 1, kStart + WINDOW_MS - 1));
  EXPECT_EQ(limiter.window_of(client)->window_start, kStart);
  EXPECT_TRUE(limiter.charge_ingest_bytes(client, 1, kStart + WINDOW_MS));
}

class ClientLimiterPruneTest : public ::testing::Test {
 protected:
  // `expired` records started at kStart, `live` ones half a window later; then the clock is at
  // one window after kStart, where exactly the first group has expired.
  void fill(std::uint32_t expired, std::uint32_t live) {
    for (std::uint32_t i = 0; i < expired; ++i) {
      limiter_.record_auth_failure(nth_address(i), kStart);
    }
    for (std::uint32_t i = 0; i < live; ++i) {
      limiter_.record_auth_failure(nth_address(expired + i), kStart + WINDOW_MS / 2);
    }
    ASSERT_EQ(limiter_.record_count(), expired + live);
  }

  ClientLimiter limiter_{1000, 20};
  const std::uint64_t now_ = kStart + WINDOW_MS;
};

TEST_F(ClientLimiterPruneTest, AboveTheThresholdExpiredRecordsGoFirst) {
  fill(5000, 5001);
  EXPECT_FALSE(limiter_.auth_locked_out(ip("10.9.9.9"), now_));
  EXPECT_EQ(limiter_.record_count(), 5002u);
  EXPECT_FALSE(limiter_.window_of(nth_address(0)));
  EXPECT_FALSE(limiter_.window_of(nth_address(4999)));
  EXPECT_TRUE(limiter_.window_of(nth_address(5000)));
  EXPECT_TRUE(limiter_.window_of(nth_address(10000)));
}

TEST_F(ClientLimiterPruneTest, AtTheThresholdNothingIsPruned) {
  fill(5000, 5000);
  EXPECT_FALSE(limiter_.auth_locked_out(ip("10.9.9.9"), now_));
  EXPECT_EQ(limiter_.record_count(), 10001u);
  EXPECT_TRUE(limiter_.window_of(nth_address(0)));
  // Now above it: the next operation prunes.
  EXPECT_FALSE(limiter_.auth_locked_out(ip("10.9.9.9"), now_));
  EXPECT_EQ(limiter_.record_count(), 5001u);
}

TEST_F(ClientLimiterPruneTest, CallersOwnExpiredRecordIsCreatedAnew) {
  fill(5000, 5001);
  limiter_.record_auth_failure(nth_address(7), now_);
  const ClientWindow window = *limiter_.window_of(nth_address(7));
  EXPECT_EQ(window.window_start, now_);
  EXPECT_EQ(window.failures, 1u);
  EXPECT_EQ(limiter_.record_count(), 5002u);
}

// The limiter against a plain model of the rules (full scan on every prune), with a clock that
// mostly advances, sometimes jumps back and sometimes stands still, over a table kept above the
// prune threshold.
TEST(ClientLimiter, AgreesWithAFullScanModel) {
  struct Model {
    std::map<std::uint32_t, ClientWindow> table;
    static bool expired(const ClientWindow& w, std::uint64_t now) {
      return now >= w.window_start && now - w.window_start >= WINDOW_MS;
    }
    ClientWindow& find_or_create(std::uint32_t key, std::uint64_t now) {
      if (table.size() > PRUNE_THRESHOLD) {
        std::erase_if(table, [&](const auto& entry) { return expired(entry.second, now); });
      }
      return table.try_emplace(key, ClientWindow{now, 0, 0}).first->second;
    }
  } model;

  ClientLimiter limiter(5000, 4);
  std::uint64_t now = kStart;
  // Start just above the threshold, so that pruning is in play from the first operation.
  for (std::uint32_t key = 0; key <= PRUNE_THRESHOLD; ++key) {
    model.find_or_create(key, now).failures = 1;
    limiter.record_auth_failure(nth_address(key), now);
  }
  std::mt19937_64 random(12345);
  constexpr std::uint32_t kAddresses = 14000;
  constexpr int kOperations = 8000;
  for (int op = 0; op < kOperations; ++op) {
    SCOPED_TRACE("operation " + std::to_string(op));
    if (op == 3000 || op == 6000) {
      now -= 2 * WINDOW_MS;  // the clock is set back
    } else if (random() % 2 == 0) {
      now += random() % 200;
    }
    const std::uint32_t key = static_cast<std::uint32_t>(random() % kAddresses);
    const IpAddress address = nth_address(key);
    switch (random() % 3) {
      case 0: {
        ClientWindow& w = model.find_or_create(key, now);
        if (Model::expired(w, now)) w = ClientWindow{now, 0, 0};
        ASSERT_EQ(limiter.auth_locked_out(address, now), w.failures >= 4);
        break;
      }
      case 1: {
        ClientWindow& w = model.find_or_create(key, now);
        if (Model::expired(w, now)) {
          w = ClientWindow{now, 0, 1};
        } else {
          ++w.failures;
        }
        limiter.record_auth_failure(address, now);
        break;
      }
      default: {
        const std::uint64_t length = random() % 3000;
        ClientWindow& w = model.find_or_create(key, now);
        if (Model::expired(w, now)) w = ClientWindow{now, 0, 0};
        const bool admitted = w.bytes + length <= 5000;
        if (admitted) w.bytes += length;
        ASSERT_EQ(limiter.charge_ingest_bytes(address, length, now), admitted);
      }
    }
    ASSERT_EQ(limiter.record_count(), model.table.size());
    const ClientWindow expected = model.table.at(key);
    const ClientWindow actual = *limiter.window_of(address);
    ASSERT_EQ(actual.window_start, expected.window_start);
    ASSERT_EQ(actual.bytes, expected.bytes);
    ASSERT_EQ(actual.failures, expected.failures);
  }
}

// Workers charge one address at once: the budget is never exceeded and nothing is lost.
TEST(ClientLimiter, ConcurrentChargesAdmitExactlyTheBudget) {
  constexpr std::uint64_t kRate = 25000;
  constexpr int kThreads = 4;
  constexpr int kChargesPerThread = 10000;
  ClientLimiter limiter(kRate, 20);
  const IpAddress client = ip("10.0.0.5");
  std::atomic<std::uint64_t> admitted = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kChargesPerThread; ++i) {
        admitted += limiter.charge_ingest_bytes(client, 1, kStart + i % 100);
        // Other addresses come and go meanwhile.
        limiter.record_auth_failure(nth_address(static_cast<std::uint32_t>(t * 100 + i % 100)),
                                    kStart);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(admitted, kRate);
  EXPECT_EQ(limiter.window_of(client)->bytes, kRate);
}

TEST(TooManyRequests, FixedAnswer) {
  const Response response = too_many_requests();
  EXPECT_EQ(response.status, 429);
  EXPECT_EQ(response.body, "too many requests, retry later");
  const std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Type", "text/plain; charset=UTF-8"}, {"Retry-After", "60"}};
  EXPECT_EQ(response.headers, headers);
}

}  // namespace
}  // namespace torvesk
