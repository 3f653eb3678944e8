// What short runs cost on the heap. A push can name hundreds of thousands of runs that the run cap
// evicts only at the end of the batch, so a run of one or two events must allocate little beyond
// its map node (about 540 bytes, most of it the run's empty texts). The live heap bytes are
// counted by replacing the global allocation functions of this test program.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "store/event_list.h"
#include "store/normalize.h"
#include "store/run.h"
#include "store_test_support.h"

namespace {

std::atomic<std::size_t> live_bytes{0};

void* counted_allocation(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  live_bytes.fetch_add(malloc_usable_size(block), std::memory_order_relaxed);
  return block;
}

void counted_release(void* block) noexcept {
  if (block == nullptr) return;
  live_bytes.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_allocation(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept { counted_release(block); }
void operator delete[](void* block) noexcept { counted_release(block); }
void operator delete(void* block, std::size_t) noexcept { counted_release(block); }
void operator delete[](void* block, std::size_t) noexcept { counted_release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { counted_release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { counted_release(block); }

namespace torvesk {
namespace {

using testing::ScopedEnv;

TEST(RunMemoryTest, ShortRunsStaySmall) {
  struct Case {
    std::string name;
    std::vector<std::string> lines;  // one run's lines; "#" stands for the run's number
    std::size_t max_bytes_per_run;   // heap bytes held per run, map node and buckets included
  };
  const std::vector<Case> cases = {
      {"one event", {R"({"run_id":"r#","ts":1})"}, 660},
      {"started and completed, with short metadata",
       {R"({"type":"RunStarted","run_id":"r#","ts":1,"payload":{"plan_name":"nightly","runner_host":"build-7"}})",
        R"({"type":"RunCompleted","run_id":"r#","ts":2})"},
       1100},
  };
  // Enough runs that the map's buckets and the allocator's rounding average out.
  constexpr int kRuns = 2000;
  ScopedEnv max_events("MONITOR_MAX_EVENTS", std::nullopt);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<RunEvent> events;
    for (int i = 0; i < kRuns; ++i) {
      for (std::string line : c.lines) {
        line.replace(line.find('#'), 1, std::to_string(i));
        std::optional<RunEvent> event = normalize_line(line, testing::fixed_clock(1));
        ASSERT_TRUE(event) << line;
        events.push_back(std::move(*event));
      }
    }
    RunMap runs;
    const std::size_t before = live_bytes.load();
    // Copies: what a copy allocates is freed again once it is applied.
    for (const RunEvent& event : events) ASSERT_TRUE(apply_event(runs, event));
    const std::size_t held = live_bytes.load() - before;
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(kRuns));
    EXPECT_LE(held / kRuns, c.max_bytes_per_run);
  }
}

TEST(RunMemoryTest, ListUnderATightCapFreesWhatItDrops) {
  struct Case {
    std::string name;
    std::size_t cap;
    std::size_t growth;  // bytes each text is longer than the one before
  };
  const std::vector<Case> cases = {
      {"one event held, texts growing past every chunk", 1, 997},
      {"three events held, texts growing slowly", 3, 13},
      {"past the small views", EventList::kFewEvents + 5, 101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventList list;
    std::vector<std::string> held;
    for (std::size_t i = 0; i < 400; ++i) {
      // Dropped before the next comes in, as the event cap does: a list at a cap of one is
      // empty in between.
      if (list.size() >= c.cap) {
        list.pop_front();
        held.erase(held.begin());
      }
      std::string text(1 + i * c.growth, static_cast<char>('a' + i % 26));
      list.push_back(text);
      held.push_back(std::move(text));
      ASSERT_EQ(list.size(), held.size()) << i;
      ASSERT_EQ(list.front(), held.front()) << i;
      ASSERT_EQ(list.back(), held.back()) << i;
      // What was dropped is freed: room for the held texts twice over, and the views.
      ASSERT_LE(list.allocated_bytes(), 2 * list.text_bytes() + 4096) << i;
    }
  }
}

}  // namespace
}  // namespace torvesk
