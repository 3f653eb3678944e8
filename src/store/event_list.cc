#include "store/event_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace torvesk {
namespace {

// Chunks double up to this size while the list is small, the first one as large as the first
// text; from here on the list is large enough that an eighth of it makes a better chunk.
constexpr std::size_t kMinChunkBytes = 2048;
// Larger chunks would keep too much dead space at the front while the event cap drops events.
constexpr std::size_t kMaxChunkBytes = std::size_t{1} << 20;
// A new chunk is an eighth of what the run already holds, so the unused end of the newest chunk
// costs at most an eighth more, while the number of chunks grows only logarithmically.
constexpr std::size_t kGrowthDivisor = 8;

// Views per block of a std::deque<std::string_view> in libstdc++ (512-byte blocks).
constexpr std::size_t kDequeBlockViews = 512 / sizeof(std::string_view);

}  // namespace

EventList::EventList(EventList&& other) noexcept
    : few_(std::move(other.few_)),
      many_(std::move(other.many_)),
      oldest_(std::exchange(other.oldest_, nullptr)),
      newest_(std::exchange(other.newest_, nullptr)),
      text_bytes_(std::exchange(other.text_bytes_, 0)),
      chunk_bytes_(std::exchange(other.chunk_bytes_, 0)) {
  other.few_.clear();
}

EventList& EventList::operator=(EventList&& other) noexcept {
  if (this != &other) {
    free_chunks();
    few_ = std::move(other.few_);
    other.few_.clear();
    many_ = std::move(other.many_);
    oldest_ = std::exchange(other.oldest_, nullptr);
    newest_ = std::exchange(other.newest_, nullptr);
    text_bytes_ = std::exchange(other.text_bytes_, 0);
    chunk_bytes_ = std::exchange(other.chunk_bytes_, 0);
  }
  return *this;
}

EventList::~EventList() { free_chunks(); }

void EventList::free_chunks() {
  while (oldest_ != nullptr) {
    Chunk* next = oldest_->next;
    oldest_->~Chunk();
    ::operator delete(oldest_);
    oldest_ = next;
  }
  newest_ = nullptr;
  chunk_bytes_ = 0;
}

std::size_t EventList::allocated_bytes() const {
  std::size_t views = few_.capacity() * sizeof(std::string_view);
  if (many_) {
    // The deque's blocks, one spare at each end at most, and its map of block pointers.
    const std::size_t blocks = many_->size() / kDequeBlockViews + 2;
    views = sizeof(*many_) + blocks * (kDequeBlockViews + 1) * sizeof(std::string_view);
  }
  return chunk_bytes_ + views;
}

EventList::Chunk& EventList::chunk_with_room(std::size_t size) {
  if (newest_ != nullptr && newest_->capacity - newest_->used >= size) return *newest_;
  const std::size_t last_capacity = newest_ == nullptr ? 0 : newest_->capacity;
  const std::size_t wanted =
      text_bytes_ < kMinChunkBytes
          ? std::min(kMinChunkBytes, 2 * last_capacity)
          : std::clamp(text_bytes_ / kGrowthDivisor, kMinChunkBytes, kMaxChunkBytes);
  const std::size_t capacity = std::max(wanted, size);
  void* memory = ::operator new(sizeof(Chunk) + capacity);
  Chunk* chunk = new (memory) Chunk;
  chunk->capacity = capacity;
  chunk_bytes_ += sizeof(Chunk) + capacity;
  if (newest_ != nullptr && newest_->events == 0) {
    // The lone chunk of an empty list, too small for this text: it goes.
    free_chunks();
    chunk_bytes_ = sizeof(Chunk) + capacity;
  }
  if (newest_ == nullptr) {
    oldest_ = chunk;
  } else {
    newest_->next = chunk;
  }
  newest_ = chunk;
  return *chunk;
}

void EventList::push_back(std::string_view text) {
  // The view's place first, then the chunk, so that running out of memory changes nothing.
  std::unique_ptr<std::deque<std::string_view>> moved;
  if (many_) {
    many_->emplace_back();
  } else if (few_.size() < kFewEvents) {
    few_.emplace_back();
  } else {
    moved = std::make_unique<std::deque<std::string_view>>(few_.begin(), few_.end());
    moved->emplace_back();
  }
  Chunk* chunk = nullptr;
  try {
    chunk = &chunk_with_room(text.size());
  } catch (...) {
    if (many_) {
      many_->pop_back();
    } else if (!moved) {
      few_.pop_back();
    }
    throw;
  }
  if (moved) {
    many_ = std::move(moved);
    few_ = std::vector<std::string_view>();
  }
  char* destination = chunk->bytes() + chunk->used;
  if (!text.empty()) std::memcpy(destination, text.data(), text.size());
  chunk->used += text.size();
  ++chunk->events;
  text_bytes_ += text.size();
  (many_ ? many_->back() : few_.back()) = std::string_view(destination, text.size());
}

void EventList::pop_front() {
  if (many_) {
    text_bytes_ -= many_->front().size();
    many_->pop_front();
  } else {
    text_bytes_ -= few_.front().size();
    few_.erase(few_.begin());
  }
  Chunk* oldest = oldest_;
  if (--oldest->events != 0) return;
  if (oldest == newest_) {
    // The only chunk, now empty: start it over instead of freeing it.
    oldest->used = 0;
    return;
  }
  oldest_ = oldest->next;
  chunk_bytes_ -= sizeof(Chunk) + oldest->capacity;
  oldest->~Chunk();
  ::operator delete(oldest);
}

}  // namespace torvesk
