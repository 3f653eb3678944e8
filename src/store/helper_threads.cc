#include "store/helper_threads.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace torvesk {

// A kept thread that runs one piece of work at a time. Starting a thread for each piece cost
// about two milliseconds on small virtual machines (stack, scheduling), a tenth of the work that
// gets split.
class HelperThread {
 public:
  HelperThread() : thread_([this] { serve(); }) {}
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // Runs `work` on the kept thread. The caller must call wait() before starting more.
  void start(std::function<void()> work) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      work_ = std::move(work);
      finished_ = false;
    }
    work_given_.notify_one();
  }

  void wait() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    while (!finished_) work_finished_.wait(lock);
  }

 private:
  void serve() EXCLUDES(mutex_) {
    for (;;) {
      std::function<void()> work;
      {
        MutexLock lock(mutex_);
        while (!work_) work_given_.wait(lock);
        work = std::move(work_);
        work_ = nullptr;
      }
      try {
        work();
      } catch (...) {
        // The work reports its own faults; nothing may end the kept thread.
      }
      {
        MutexLock lock(mutex_);
        finished_ = true;
      }
      work_finished_.notify_one();
    }
  }

  Mutex mutex_;
  CondVar work_given_;
  CondVar work_finished_;
  std::function<void()> work_ GUARDED_BY(mutex_);  // set while work waits to be taken
  bool finished_ GUARDED_BY(mutex_) = true;
  std::thread thread_;  // started last, once the members it uses exist
};

namespace {

std::size_t core_count() {
  static const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return cores;
}

// Threads inside a SplittableWork.
std::atomic<std::size_t> splittable_at_work{0};

// The kept threads of the process. Started when first wanted and never ended: the pool outlives
// every caller and is still in place while the process exits.
class HelperPool {
 public:
  static HelperPool& instance() {
    static HelperPool* const pool = new HelperPool();
    return *pool;
  }

  // An idle helper, or nullptr when every helper is busy or no thread could be started.
  HelperThread* take() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    const std::size_t busy_helpers = started_ - idle_.size();
    if (splittable_at_work.load(std::memory_order_relaxed) + busy_helpers >= core_count()) {
      return nullptr;
    }
    if (!idle_.empty()) {
      HelperThread* helper = idle_.back();
      idle_.pop_back();
      return helper;
    }
    if (started_ >= max_helpers_) return nullptr;
    try {
      HelperThread* helper = new HelperThread();
      ++started_;
      return helper;
    } catch (const std::exception&) {
      return nullptr;  // no thread or no memory to be had: the caller works alone
    }
  }

  void give_back(HelperThread* helper) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    idle_.push_back(helper);
  }

 private:
  HelperPool() : max_helpers_(core_count() - 1) { idle_.reserve(max_helpers_); }

  const std::size_t max_helpers_;
  Mutex mutex_;
  std::vector<HelperThread*> idle_ GUARDED_BY(mutex_);
  std::size_t started_ GUARDED_BY(mutex_) = 0;
};

}  // namespace

SplittableWork::SplittableWork() { splittable_at_work.fetch_add(1, std::memory_order_relaxed); }

SplittableWork::~SplittableWork() { splittable_at_work.fetch_sub(1, std::memory_order_relaxed); }

HelperLease::HelperLease() : helper_(HelperPool::instance().take()) {}

HelperLease::~HelperLease() {
  if (helper_ == nullptr) return;
  wait();
  HelperPool::instance().give_back(helper_);
}

void HelperLease::start(std::function<void()> work) {
  helper_->start(std::move(work));
  started_ = true;
}

void HelperLease::wait() {
  if (started_) helper_->wait();
  started_ = false;
}

}  // namespace torvesk
