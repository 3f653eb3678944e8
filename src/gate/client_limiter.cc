#include "gate/client_limiter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <unordered_map>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "gate/sodium_ready.h"

namespace torvesk {
namespace {

// The IP address with its family: byte 0 is 4 or 6, then the 4 or 16 address bytes, the rest
// zero. An IPv4-mapped IPv6 address and its IPv4 address are therefore different keys.
struct AddressKey {
  std::array<unsigned char, 17> bytes{};
  bool operator==(const AddressKey&) const = default;
};

AddressKey key_of(const IpAddress& address) {
  AddressKey key;
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    key.bytes[0] = 4;
    std::copy(bytes.begin(), bytes.end(), key.bytes.begin() + 1);
  } else {
    const auto bytes = address.to_v6().to_bytes();
    key.bytes[0] = 6;
    std::copy(bytes.begin(), bytes.end(), key.bytes.begin() + 1);
  }
  return key;
}

// Clients choose their addresses (an IPv6 client holds billions), so the table is hashed with a
// per-process secret key: nobody can line up addresses that collide into one bucket.
class KeyHash {
 public:
  KeyHash() {
    if (sodium_ready()) randombytes_buf(secret_.data(), secret_.size());
  }
  std::size_t operator()(const AddressKey& key) const {
    std::array<unsigned char, crypto_shorthash_BYTES> hash;
    crypto_shorthash(hash.data(), key.bytes.data(), key.bytes.size(), secret_.data());
    std::size_t value = 0;
    static_assert(sizeof value <= crypto_shorthash_BYTES);
    std::memcpy(&value, hash.data(), sizeof value);
    return value;
  }

 private:
  std::array<unsigned char, crypto_shorthash_KEYBYTES> secret_{};
};

// Elapsed time counts as 0 when the window start lies after `now` (the clock went back).
bool is_expired(std::uint64_t window_start, std::uint64_t now) {
  return now >= window_start && now - window_start >= WINDOW_MS;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

}  // namespace

struct ClientLimiter::Impl {
  // Window start to the record's key. Expired records are exactly those at the front of this
  // order, so pruning touches only what it removes plus one record, however large the table.
  using ExpiryOrder = std::multimap<std::uint64_t, const AddressKey*>;
  struct Record {
    ClientWindow window;
    ExpiryOrder::iterator in_order;  // this record's one entry in `order`
  };

  Impl(std::uint64_t rate, std::uint32_t fail_max)
      : rate_bytes_per_min(rate), auth_fail_max(fail_max) {}

  // Prunes when the table is over the threshold, then finds or creates the record of `key`.
  Record& find_or_create(const AddressKey& key, std::uint64_t now) REQUIRES(mutex) {
    if (table.size() > PRUNE_THRESHOLD) prune(now);
    auto [it, inserted] = table.try_emplace(key);
    Record& record = it->second;
    if (inserted) {
      record.window = ClientWindow{now, 0, 0};
      try {
        record.in_order = order.emplace_hint(order.end(), now, &it->first);
      } catch (...) {
        table.erase(it);  // never leave a record without its entry in `order`
        throw;
      }
    }
    return record;
  }

  // Starts a new window at `now` with both counters cleared.
  void restart(Record& record, std::uint64_t now) REQUIRES(mutex) {
    // Window starts are the clock's readings, so the new entry nearly always goes last, which
    // the hint makes a constant-time insertion.
    const auto fresh = order.emplace_hint(order.end(), now, record.in_order->second);
    order.erase(record.in_order);
    record.in_order = fresh;
    record.window = ClientWindow{now, 0, 0};
  }

  // Removes every expired record.
  void prune(std::uint64_t now) REQUIRES(mutex) {
    while (!order.empty() && is_expired(order.begin()->first, now)) {
      table.erase(table.find(*order.begin()->second));
      order.erase(order.begin());
    }
  }

  // Window access: prune, find or create, renew when expired.
  Record& access(const IpAddress& client, std::uint64_t now) REQUIRES(mutex) {
    Record& record = find_or_create(key_of(client), now);
    if (is_expired(record.window.window_start, now)) restart(record, now);
    return record;
  }

  const std::uint64_t rate_bytes_per_min;  // fixed at start-up, read without the lock
  const std::uint32_t auth_fail_max;       // fixed at start-up, read without the lock

  Mutex mutex;
  std::unordered_map<AddressKey, Record, KeyHash> table GUARDED_BY(mutex);
  ExpiryOrder order GUARDED_BY(mutex);  // points at keys of `table`, which never move
};

ClientLimiter::ClientLimiter(std::uint64_t rate_bytes_per_min, std::uint32_t auth_fail_max)
    : impl_(std::make_unique<Impl>(rate_bytes_per_min, auth_fail_max)) {}

ClientLimiter::~ClientLimiter() = default;

bool ClientLimiter::auth_locked_out(const IpAddress& client, std::uint64_t now) {
  if (impl_->auth_fail_max == 0) return false;
  MutexLock lock(impl_->mutex);
  return impl_->access(client, now).window.failures >= impl_->auth_fail_max;
}

void ClientLimiter::record_auth_failure(const IpAddress& client, std::uint64_t now) {
  MutexLock lock(impl_->mutex);
  Impl::Record& record = impl_->find_or_create(key_of(client), now);
  if (is_expired(record.window.window_start, now)) {
    impl_->restart(record, now);
    record.window.failures = 1;
  } else if (record.window.failures != std::numeric_limits<std::uint32_t>::max()) {
    ++record.window.failures;
  }
}

bool ClientLimiter::charge_ingest_bytes(const IpAddress& client, std::uint64_t length,
                                        std::uint64_t now) {
  if (impl_->rate_bytes_per_min == 0) return true;
  MutexLock lock(impl_->mutex);
  ClientWindow& window = impl_->access(client, now).window;
  const std::uint64_t total = saturating_add(window.bytes, length);
  if (total > impl_->rate_bytes_per_min) return false;
  window.bytes = total;
  return true;
}

std::optional<ClientWindow> ClientLimiter::window_of(const IpAddress& client) {
  MutexLock lock(impl_->mutex);
  const auto it = impl_->table.find(key_of(client));
  if (it == impl_->table.end()) return std::nullopt;
  return it->second.window;
}

std::size_t ClientLimiter::record_count() {
  MutexLock lock(impl_->mutex);
  return impl_->table.size();
}

Response too_many_requests() {
  Response response = text_response(429, "too many requests, retry later");
  add_header(response, "Retry-After", "60");
  return response;
}

}  // namespace torvesk
