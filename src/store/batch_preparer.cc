#include "store/batch_preparer.h"

#include <boost/json/monotonic_resource.hpp>
#include <exception>
#include <optional>
#include <utility>

#include "store/helper_threads.h"
#include "store/json.h"
#include "store/normalize.h"
#include "store/tree_event.h"

namespace torvesk {
namespace {

namespace json = boost::json;

// Room for the parsed value of a typical line; a larger line borrows more from the heap, which
// the arena gives back after that line.
constexpr std::size_t kLineArenaBytes = 64 * 1024;

// The sizes of a batch's parts before a line, to cut it back to if the line fails half-way.
class BatchMark {
 public:
  explicit BatchMark(const PreparedBatch& batch)
      : texts_(batch.texts.size()),
        strings_(batch.strings.size()),
        fields_(batch.fields.size()),
        events_(batch.events.size()) {}

  void restore(PreparedBatch& batch) const {
    batch.texts.truncate(texts_);
    batch.strings.resize(strings_);
    batch.fields.resize(fields_);
    batch.events.resize(events_);
  }

 private:
  std::size_t texts_, strings_, fields_, events_;
};

}  // namespace

BatchPreparer::BatchPreparer(Clock clock, ObservedAddressRule rule)
    : clock_(std::move(clock)), rule_(rule), direct_(std::make_unique<DirectEventWriter>()) {}

BatchPreparer::~BatchPreparer() = default;

bool BatchPreparer::add_line(std::string_view line, PreparedBatch& batch) {
  const std::string_view trimmed = trim_white_space(line);
  if (trimmed.empty()) return false;
  const BatchMark mark(batch);
  try {
    if (direct_->add(trimmed, clock_, rule_, batch)) return true;
  } catch (const std::exception&) {
    // Out of memory for this line: it is dropped like a bad line, and the batch stays whole.
    mark.restore(batch);
    return false;
  }
  return add_line_through_tree(trimmed, batch);
}

struct BatchPreparer::TreeParser {
  JsonParser parser;
  std::unique_ptr<unsigned char[]> arena_buffer =
      std::make_unique_for_overwrite<unsigned char[]>(kLineArenaBytes);
  json::monotonic_resource arena{arena_buffer.get(), kLineArenaBytes};  // one line's value
};

bool BatchPreparer::add_line_through_tree(std::string_view line, PreparedBatch& batch) {
  const std::string_view trimmed = trim_white_space(line);
  if (trimmed.empty()) return false;
  const BatchMark mark(batch);
  bool added = false;
  try {
    if (tree_ == nullptr) tree_ = std::make_unique<TreeParser>();
    std::optional<json::value> root =
        tree_->parser.parse(trimmed, json::storage_ptr(&tree_->arena));
    if (root) {
      if (const std::optional<NormalizedValue> normalized = normalize_value(*root, clock_)) {
        json::value& event = *normalized->json;
        apply_observed_address_rule(event, rule_);
        add_prepared_event(batch, event, normalized->ts);
        added = true;
      }
    }
  } catch (const std::exception&) {
    // Out of memory for this line: it is dropped like a bad line, and the batch stays whole.
    mark.restore(batch);
    added = false;
  }
  if (tree_ != nullptr) tree_->arena.release();
  return added;
}

namespace {

// Below this size a batch is prepared on the calling thread alone: starting a helper and merging
// its half cost about as much as preparing a few hundred kilobytes saves.
constexpr std::size_t kSplitPrepareMinBytes = 1024 * 1024;

}  // namespace

void append_prepared(PreparedBatch& batch, const PreparedBatch& tail) {
  const std::size_t texts_base = batch.texts.size();
  const std::size_t strings_base = batch.strings.size();
  const std::size_t fields_base = batch.fields.size();
  batch.bad_lines += tail.bad_lines;
  batch.texts.append(tail.texts.view());
  batch.strings += tail.strings;
  batch.fields.reserve(fields_base + tail.fields.size());
  for (PreparedField field : tail.fields) {
    field.value.offset += strings_base;
    batch.fields.push_back(field);
  }
  batch.events.reserve(batch.events.size() + tail.events.size());
  for (PreparedEvent event : tail.events) {
    event.text.offset += texts_base;
    event.run_id.offset += strings_base;
    event.first_field += fields_base;
    batch.events.push_back(event);
  }
}

void prepare_lines(std::string_view text, const Clock& clock, ObservedAddressRule rule,
                   PreparedBatch& batch) {
  const std::size_t line_feed = text.size() >= kSplitPrepareMinBytes
                                    ? text.find('\n', text.size() / 2)
                                    : std::string_view::npos;
  const std::size_t cut = line_feed == std::string_view::npos ? text.size() : line_feed + 1;
  if (cut == text.size()) {
    BatchPreparer(clock, rule).add_lines(text, batch);
    return;
  }
  const std::string_view first_half = text.substr(0, cut);
  const std::string_view second_half = text.substr(cut);
  BatchPreparer own(clock, rule);
  PreparedBatch tail;
  bool tail_done = false;
  const auto prepare_tail = [&] {
    try {
      tail.texts.reserve(second_half.size() + second_half.size() / 8);
      BatchPreparer(clock, rule).add_lines(second_half, tail);
      tail_done = true;
    } catch (const std::exception&) {
      // Out of memory: the second half is prepared again below, after the first.
    }
  };
  // Only a body that is split asks for a helper, so small ones never keep it from a large one.
  const bool shared = split_with_helper([&] { own.add_lines(first_half, batch); }, prepare_tail);
  if (shared && tail_done) {
    append_prepared(batch, tail);
  } else {
    own.add_lines(second_half, batch);
  }
}

}  // namespace torvesk
