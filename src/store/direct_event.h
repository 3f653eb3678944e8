// The common event line prepared straight from its parse: the canonical text is written while
// the line is read, and the members normalisation needs are picked up on the way, without
// building a tree of the value. Lines of a rarer shape are declined and go through the tree.
#pragma once

#include <memory>
#include <string_view>

#include "base/clock.h"
#include "store/event_rules.h"
#include "store/prepared_batch.h"

namespace torvesk {

// One writer serves one thread; it keeps its parser's stacks from line to line.
class DirectEventWriter {
 public:
  DirectEventWriter();
  ~DirectEventWriter();
  DirectEventWriter(const DirectEventWriter&) = delete;
  DirectEventWriter& operator=(const DirectEventWriter&) = delete;

  // Adds the event of `line` (trimmed, not empty) to `batch` exactly as the tree does, and
  // returns true. Returns false, leaving `batch` as it was, for a line that is not valid JSON or
  // whose normalisation needs the tree: a value other than an object, a member name twice in one
  // object, more than kMaxDirectMembers members in one object, a "kind" or "timestamp" member,
  // a "ts" that is not an unsigned integer, or an "_observed_ip" the rule replaces. `clock` is
  // read only for an event it adds without a time of its own.
  bool add(std::string_view line, const Clock& clock, const ObservedAddressRule& rule,
           PreparedBatch& batch);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Repeated member names are found by comparing each name with those before it in its object;
// past this many members the tree's hashed lookup is cheaper, and a hostile line cannot make the
// comparisons quadratic.
inline constexpr std::size_t kMaxDirectMembers = 64;

}  // namespace torvesk
