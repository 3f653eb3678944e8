// The canonical texts of a run's held events, oldest first.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string_view>

namespace torvesk {

// Texts are packed one after another into a few large chunks instead of one allocation each, so
// a held event costs its bytes plus a 16-byte view. Events leave only from the front (the event
// cap); a chunk is freed once all of its events have left. Readers iterate std::string_view
// elements, which stay valid until the event leaves the list.
class EventList {
 public:
  using const_iterator = std::deque<std::string_view>::const_iterator;

  EventList() = default;
  EventList(EventList&&) noexcept = default;
  EventList& operator=(EventList&&) noexcept = default;
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;

  const_iterator begin() const { return texts_.begin(); }
  const_iterator end() const { return texts_.end(); }
  std::size_t size() const { return texts_.size(); }
  bool empty() const { return texts_.empty(); }
  std::string_view front() const { return texts_.front(); }
  std::string_view back() const { return texts_.back(); }
  std::string_view operator[](std::size_t i) const { return texts_[i]; }

  // Copies `text` in as the newest event.
  void push_back(std::string_view text);
  // Drops the oldest event. The list must not be empty.
  void pop_front();

  // Bytes of the held texts, and bytes allocated for them (the held ones, the unused end of the
  // newest chunk and the already dropped start of the oldest).
  std::size_t text_bytes() const { return text_bytes_; }
  std::size_t allocated_bytes() const { return allocated_bytes_; }

 private:
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::size_t events = 0;  // held events whose text lies in this chunk
  };

  std::deque<std::string_view> texts_;  // views into chunks_, in the same order
  std::deque<Chunk> chunks_;
  std::size_t text_bytes_ = 0;
  std::size_t allocated_bytes_ = 0;
};

}  // namespace torvesk
