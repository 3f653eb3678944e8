#include "store/event_list.h"

#include <algorithm>
#include <cstring>

namespace torvesk {
namespace {

// The first chunk of a run: a few typical events, so a small run stays small.
constexpr std::size_t kMinChunkBytes = 2048;
// Larger chunks would keep too much dead space at the front while the event cap drops events.
constexpr std::size_t kMaxChunkBytes = std::size_t{1} << 20;
// A new chunk is an eighth of what the run already holds, so the unused end of the newest chunk
// costs at most an eighth more, while the number of chunks grows only logarithmically.
constexpr std::size_t kGrowthDivisor = 8;

}  // namespace

void EventList::push_back(std::string_view text) {
  if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < text.size()) {
    const std::size_t wanted =
        std::clamp(text_bytes_ / kGrowthDivisor, kMinChunkBytes, kMaxChunkBytes);
    Chunk chunk;
    chunk.capacity = std::max(wanted, text.size());
    chunk.bytes = std::make_unique_for_overwrite<char[]>(chunk.capacity);
    allocated_bytes_ += chunk.capacity;
    chunks_.push_back(std::move(chunk));
  }
  Chunk& chunk = chunks_.back();
  char* destination = chunk.bytes.get() + chunk.used;
  if (!text.empty()) std::memcpy(destination, text.data(), text.size());
  chunk.used += text.size();
  ++chunk.events;
  text_bytes_ += text.size();
  texts_.emplace_back(destination, text.size());
}

void EventList::pop_front() {
  text_bytes_ -= texts_.front().size();
  texts_.pop_front();
  Chunk& oldest = chunks_.front();
  if (--oldest.events != 0) return;
  if (chunks_.size() == 1) {
    // The only chunk, now empty: start it over instead of freeing it.
    oldest.used = 0;
    return;
  }
  allocated_bytes_ -= oldest.capacity;
  chunks_.pop_front();
}

}  // namespace torvesk
