// The canonical texts of a run's held events, oldest first.
#pragma once

#include <compare>
#include <cstddef>
#include <deque>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace torvesk {

// Texts are packed one after another into a few large chunks instead of one allocation each, so
// a held event costs its bytes plus a 16-byte view. Events leave only from the front (the event
// cap); a chunk is freed once all of its events have left. Readers iterate std::string_view
// elements, which stay valid until the event leaves the list.
//
// A batch can make hundreds of thousands of runs of one or two events that the run cap evicts at
// its end, so a short list allocates only what it holds: nothing while empty, a first chunk the
// size of its first text, chunks that double up to the usual size, and its views in a small
// vector until it holds more than kFewEvents.
class EventList {
 public:
  // Views held in a small vector before they move to a deque: a deque costs a 512-byte block
  // and its map from the first element on, as much as this many views.
  static constexpr std::size_t kFewEvents = 32;

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;

    std::string_view operator*() const { return (*list_)[index_]; }
    std::string_view operator[](difference_type n) const {
      return (*list_)[index_ + static_cast<std::size_t>(n)];
    }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++index_;
      return old;
    }
    const_iterator& operator--() {
      --index_;
      return *this;
    }
    const_iterator operator--(int) {
      const_iterator old = *this;
      --index_;
      return old;
    }
    const_iterator& operator+=(difference_type n) {
      index_ += static_cast<std::size_t>(n);
      return *this;
    }
    const_iterator& operator-=(difference_type n) {
      index_ -= static_cast<std::size_t>(n);
      return *this;
    }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.index_ == b.index_;
    }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) {
      return a.index_ <=> b.index_;
    }

   private:
    friend class EventList;
    const_iterator(const EventList* list, std::size_t index) : list_(list), index_(index) {}

    const EventList* list_ = nullptr;
    std::size_t index_ = 0;
  };

  EventList() = default;
  EventList(EventList&& other) noexcept;
  EventList& operator=(EventList&& other) noexcept;
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;
  ~EventList();

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size()); }
  std::size_t size() const { return many_ ? many_->size() : few_.size(); }
  bool empty() const { return size() == 0; }
  std::string_view front() const { return (*this)[0]; }
  std::string_view back() const { return (*this)[size() - 1]; }
  std::string_view operator[](std::size_t i) const { return many_ ? (*many_)[i] : few_[i]; }

  // Copies `text` in as the newest event. Out of memory, it throws and the list is unchanged.
  void push_back(std::string_view text);
  // Drops the oldest event. The list must not be empty.
  void pop_front();

  // Bytes of the held texts, and bytes the list has allocated: its chunks (the held texts, the
  // unused end of the newest chunk and the already dropped start of the oldest) and its views.
  std::size_t text_bytes() const { return text_bytes_; }
  std::size_t allocated_bytes() const;

 private:
  // The head of one allocation; its bytes follow it.
  struct Chunk {
    Chunk* next = nullptr;  // the next newer chunk
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::size_t events = 0;  // held events whose text lies in this chunk
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
  };

  // The newest chunk with room for `size` more bytes, allocated if needed.
  Chunk& chunk_with_room(std::size_t size);
  void free_chunks();

  // Views into the chunks, in the same order: in few_ until the list first holds more than
  // kFewEvents, in many_ from then on.
  std::vector<std::string_view> few_;
  std::unique_ptr<std::deque<std::string_view>> many_;
  // Oldest to newest. Every chunk holds at least one event, except a lone chunk of an empty list.
  Chunk* oldest_ = nullptr;
  Chunk* newest_ = nullptr;
  std::size_t text_bytes_ = 0;
  std::size_t chunk_bytes_ = 0;  // allocated for the chunks, heads included
};

}  // namespace torvesk
