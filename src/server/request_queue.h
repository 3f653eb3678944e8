// Bounded first-in first-out hand-over from the receiving thread to the workers.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace torvesk {

template <class Item>
class RequestQueue {
 public:
  explicit RequestQueue(std::size_t capacity) : capacity_(capacity) {}
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  // Never waits. Moves `item` in and returns true when there is room; returns false and leaves
  // `item` untouched when the queue is full or closed.
  bool try_put(Item& item) {
    {
      MutexLock lock(mutex_);
      if (closed_ || items_.size() >= capacity_) return false;
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return true;
  }

  // Waits for the oldest item; nullopt once the queue is closed and empty.
  std::optional<Item> take() {
    MutexLock lock(mutex_);
    while (!closed_ && items_.empty()) ready_.wait(lock);
    if (items_.empty()) return std::nullopt;
    Item item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

  // Items waiting now; any thread.
  std::size_t size() {
    MutexLock lock(mutex_);
    return items_.size();
  }

  // No further puts; takers drain what is queued, then get nullopt.
  void close() {
    {
      MutexLock lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  const std::size_t capacity_;
  Mutex mutex_;
  CondVar ready_;
  std::deque<Item> items_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace torvesk
