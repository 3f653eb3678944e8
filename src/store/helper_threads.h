// Threads kept for splitting one large piece of work in two, such as preparing a large body or
// writing a large batch's log files: the caller does one half while a helper does the other.
// There is one fewer helper than the cores, and one is lent only while a core would otherwise
// idle; without one, the caller does the whole work alone.
#pragma once

#include <exception>
#include <functional>

namespace torvesk {

class HelperThread;

// Marks the calling thread, for as long as this lives, as one at work on something a helper
// could share. Helpers are lent only while these threads and the busy helpers together number
// fewer than the cores: with several large requests at once each core has work of its own, and
// splitting would only add the handing over.
class SplittableWork {
 public:
  SplittableWork();
  ~SplittableWork();
  SplittableWork(const SplittableWork&) = delete;
  SplittableWork& operator=(const SplittableWork&) = delete;
};

// One helper, taken if one is idle and a core is free for it (see SplittableWork). Going, it waits
// for the work it started and gives the helper back, so it must be declared after everything that
// work refers to. split_with_helper is the usual way to use one.
class HelperLease {
 public:
  HelperLease();
  ~HelperLease();
  HelperLease(const HelperLease&) = delete;
  HelperLease& operator=(const HelperLease&) = delete;

  bool taken() const { return helper_ != nullptr; }
  // Runs `work` on the helper; only when taken(), and at most once between waits. Exceptions that
  // escape `work` are dropped, so work that can fail must record that itself.
  void start(std::function<void()> work);
  // Returns once the started work, if any, has finished.
  void wait();

 private:
  HelperThread* helper_;
  bool started_ = false;
};

// Runs `theirs` on a helper while the calling thread runs `mine`, and returns true once both have
// finished, when a helper is lent and the work could be handed to it. Otherwise runs `mine` alone
// and returns false: what `theirs` would have done is left to the caller, who knows how to do it
// on its own thread (in one go with its own part, or not at all). Exceptions that escape `theirs`
// on the helper are dropped, so `theirs` must record how far it got; `mine` may throw, and the
// helper's part is still waited for.
template <class Mine, class Theirs>
bool split_with_helper(Mine&& mine, Theirs&& theirs) {
  HelperLease helper;
  bool shared = false;
  if (helper.taken()) {
    try {
      // A reference fits in std::function's own room: handing over allocates nothing.
      helper.start([&theirs] { theirs(); });
      shared = true;
    } catch (const std::exception&) {
      // Out of memory handing the work over: the caller works alone.
    }
  }
  mine();
  helper.wait();
  return shared;
}

}  // namespace torvesk
