// A mutex, its scoped lock and a condition variable that the thread-safety analysis understands.
// Waits take the held lock; callers loop on their condition themselves, so that the condition is
// read where the analysis sees the lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace torvesk {

class CondVar;
class MutexLock;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // Takes the lock only if it is free at once.
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see that itself.
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  // Lets the lock go for a stretch of work that needs none, and takes it again; the destructor
  // releases only what is held.
  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases the lock while waiting and holds it again on return, which may be spurious.
  void wait(MutexLock& lock) { ready_.wait(lock.lock_); }
  // False when `deadline` passed.
  template <class Clock, class Duration>
  bool wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
    return ready_.wait_until(lock.lock_, deadline) == std::cv_status::no_timeout;
  }
  void notify_one() { ready_.notify_one(); }
  void notify_all() { ready_.notify_all(); }

 private:
  std::condition_variable ready_;
};

}  // namespace torvesk
