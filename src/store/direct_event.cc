#include "store/direct_event.h"

#include <algorithm>
#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <charconv>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/event_rules.h"
#include "store/json.h"

namespace torvesk {
namespace {

namespace json = boost::json;

// The members of the event object that normalisation reads or that send a line to the tree.
enum class TopMember : std::uint8_t { other, payload, run_id, type, ts, observed_ip, declined };

// The position in kPayloadMembers of a payload member that is not one of them.
constexpr std::size_t kOtherPayloadMember = kPayloadMembers.size();

// Bit n is set when a payload member read has a name of n bytes: most other names are passed
// over by their size alone.
constexpr std::uint64_t kPayloadMemberSizes = [] {
  std::uint64_t sizes = 0;
  for (std::string_view name : kPayloadMembers) sizes |= std::uint64_t{1} << name.size();
  return sizes;
}();

// Any error code stops the parse; the line then goes to the tree, which says what was wrong.
constexpr json::error kDeclined = json::error::extra_data;

// "-9223372036854775808" and "18446744073709551615" are the longest.
constexpr std::size_t kMaxIntegerText = 20;

template <class Integer>
void append_integer(TextBuffer& out, Integer i) {
  char* p = out.claim(kMaxIntegerText);
  out.commit(std::to_chars(p, p + kMaxIntegerText, i).ptr);
}

// Parser handler that writes the canonical text of the event object as the parse goes, into the
// batch's text buffer, and keeps the decoded strings normalisation reads. A handler call that
// returns false has declined the line.
class DirectHandler {
 public:
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  // The strings read from the event, as spans of `captured`.
  struct Found {
    std::array<std::optional<TextSpan>, kPayloadMembers.size()> payload;
    std::optional<TextSpan> run_id;
    std::optional<TextSpan> type;
    std::optional<TextSpan> observed_ip;
    std::optional<std::uint64_t> ts;
    std::size_t members = 0;  // of the event object
  };

  void reset(std::string_view line, TextBuffer& out, const ObservedAddressRule& rule) {
    line_ = line;
    out_ = &out;
    rule_ = &rule;
    depth_ = 0;
    names_.clear();
    captured.clear();
    found = Found{};
    top_member_ = TopMember::other;
    payload_member_ = kOtherPayloadMember;
    payload_open_ = false;
    capture_ = nullptr;
  }

  std::string captured;
  Found found;

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }

  bool on_object_begin(json::error_code& ec) {
    if (depth_ != 0) {
      if (!value_begins(ec) || !not_the_time(ec)) return false;
      if (depth_ == 1) payload_open_ = top_member_ == TopMember::payload;
    }
    if (!open(true, ec)) return false;
    out_->push_back('{');
    return true;
  }
  bool on_object_end(std::size_t, json::error_code&) {
    names_.resize(levels_[depth_].first_name);
    if (depth_ == 1) {
      // The event object stays open for the members normalisation may add.
      found.members = levels_[1].members;
    } else {
      out_->push_back('}');
      if (depth_ == 2) payload_open_ = false;
    }
    --depth_;
    return true;
  }
  bool on_array_begin(json::error_code& ec) {
    if (!value_begins(ec) || !not_the_time(ec) || !open(false, ec)) return false;
    out_->push_back('[');
    return true;
  }
  bool on_array_end(std::size_t, json::error_code&) {
    out_->push_back(']');
    --depth_;
    return true;
  }

  bool on_key_part(json::string_view s, std::size_t n, json::error_code& ec) {
    if (n == s.size() && !name_begins(ec)) return false;
    write_characters(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t n, json::error_code& ec) {
    if (n == s.size() && !name_begins(ec)) return false;
    write_characters(s);
    return name_ends(ec);
  }

  bool on_string_part(json::string_view s, std::size_t n, json::error_code& ec) {
    if (n == s.size() && !string_begins(ec)) return false;
    string_piece(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t n, json::error_code& ec) {
    if (n == s.size() && !string_begins(ec)) return false;
    string_piece(s);
    out_->push_back('"');
    capture_ = nullptr;
    return true;
  }

  bool on_number_part(json::string_view, json::error_code& ec) {
    // Only a text given in pieces splits a number; lines come whole.
    ec = kDeclined;
    return false;
  }
  bool on_int64(std::int64_t i, json::string_view s, json::error_code& ec) {
    if (!value_begins(ec)) return false;
    // "-0" is the float -0.0, as the tree keeps it.
    const bool minus_zero = i == 0 && !s.empty() && s.front() == '-';
    if (is_time()) {
      if (i < 0 || minus_zero) return decline(ec);
      found.ts = static_cast<std::uint64_t>(i);
    }
    if (minus_zero) {
      append_canonical_double(*out_, -0.0);
    } else {
      append_integer(*out_, i);
    }
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code& ec) {
    if (!value_begins(ec)) return false;
    if (is_time()) found.ts = u;
    append_integer(*out_, u);
    return true;
  }
  bool on_double(double, json::string_view s, json::error_code& ec) {
    if (!value_begins(ec) || !not_the_time(ec)) return false;
    const std::optional<double> d = read_json_double(std::string_view(s.data(), s.size()));
    if (!d) return decline(ec);
    append_canonical_double(*out_, *d);
    return true;
  }
  bool on_bool(bool b, json::error_code& ec) {
    if (!value_begins(ec) || !not_the_time(ec)) return false;
    literal(b ? std::string_view("true") : std::string_view("false"));
    return true;
  }
  bool on_null(json::error_code& ec) {
    if (!value_begins(ec) || !not_the_time(ec)) return false;
    literal("null");
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  struct Level {
    bool object = false;
    std::size_t members = 0;     // members or elements so far
    std::size_t first_name = 0;  // this object's names start here in names_
  };

  static bool decline(json::error_code& ec) {
    ec = kDeclined;
    return false;
  }

  // The parser refuses deeper nesting first; the check keeps levels_ in bounds regardless.
  bool open(bool object, json::error_code& ec) {
    if (depth_ == kMaxJsonDepth) return decline(ec);
    ++depth_;
    levels_[depth_] = Level{object, 0, names_.size()};
    return true;
  }

  // Before any value: the event itself must be an object, and elements are separated.
  bool value_begins(json::error_code& ec) {
    if (depth_ == 0) return decline(ec);
    Level& level = levels_[depth_];
    if (!level.object && level.members++ != 0) out_->push_back(',');
    return true;
  }

  // The value of the event's "ts" member, which must be an unsigned integer here.
  bool is_time() const { return depth_ == 1 && top_member_ == TopMember::ts; }
  bool not_the_time(json::error_code& ec) const { return is_time() ? decline(ec) : true; }

  bool name_begins(json::error_code& ec) {
    Level& level = levels_[depth_];
    if (level.members == kMaxDirectMembers) return decline(ec);
    if (level.members++ != 0) out_->push_back(',');
    out_->push_back('"');
    name_start_ = out_->size();
    return true;
  }

  // The escaped form is a one-to-one function of the name, so names compare in it.
  bool name_ends(json::error_code& ec) {
    const std::string_view written = out_->view();
    const std::string_view name = written.substr(name_start_);
    const WrittenName this_name{name_start_, name.size(), sketch_of(name)};
    const std::size_t names = names_.size();
    for (std::size_t i = levels_[depth_].first_name; i < names; ++i) {
      const WrittenName& other = names_[i];
      if (other.sketch == this_name.sketch && other.size == this_name.size &&
          written.substr(other.offset, other.size) == name) {
        return decline(ec);
      }
    }
    names_.push_back(this_name);
    if (depth_ == 1) {
      top_member_ = top_member_of(name);
      if (top_member_ == TopMember::declined) return decline(ec);
    } else if (depth_ == 2 && payload_open_) {
      payload_member_ = kOtherPayloadMember;
      if (name.size() < 64 && (kPayloadMemberSizes >> name.size() & 1) != 0) {
        payload_member_ = static_cast<std::size_t>(
            std::find(kPayloadMembers.begin(), kPayloadMembers.end(), name) -
            kPayloadMembers.begin());
      }
    }
    out_->append("\":");
    return true;
  }

  // Three of a name's bytes, which tell most names of one object apart without comparing them.
  static std::uint32_t sketch_of(std::string_view name) {
    if (name.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(name[i]); };
    return byte(0) | byte(name.size() / 2) << 8 | byte(name.size() - 1) << 16;
  }

  TopMember top_member_of(std::string_view name) const {
    if (name == kPayloadMember) return TopMember::payload;
    if (name == kRunIdMember) return TopMember::run_id;
    if (name == kTypeMember) return TopMember::type;
    if (name == kTimeMember) return TopMember::ts;
    // A header or a wrapped event: the tree opens them up.
    if (name == kKindMember || name == kEnvelopeTimeMember) return TopMember::declined;
    if (name == kObservedIpMember) {
      // Where the rule drops or replaces it, the tree moves members about.
      return rule_->strip_supplied || rule_->stamp_address ? TopMember::declined
                                                           : TopMember::observed_ip;
    }
    return TopMember::other;
  }

  bool string_begins(json::error_code& ec) {
    if (!value_begins(ec) || !not_the_time(ec)) return false;
    out_->push_back('"');
    capture_ = nullptr;
    if (depth_ == 1) {
      if (top_member_ == TopMember::run_id) capture_ = &found.run_id;
      if (top_member_ == TopMember::type) capture_ = &found.type;
      if (top_member_ == TopMember::observed_ip) capture_ = &found.observed_ip;
    } else if (depth_ == 2 && payload_open_ && payload_member_ != kOtherPayloadMember) {
      capture_ = &found.payload[payload_member_];
    }
    if (capture_ != nullptr) *capture_ = TextSpan{captured.size(), 0};
    return true;
  }

  void string_piece(json::string_view s) {
    write_characters(s);
    if (capture_ != nullptr) {
      captured.append(s.data(), s.size());
      (*capture_)->size += s.size();
    }
  }

  // The parser passes characters written without escapes as a view into the line itself, and
  // the grammar keeps quotes, backslashes and control characters out of those: they are their
  // own canonical form. Characters it has decoded from escapes come from its own buffer.
  void write_characters(json::string_view s) {
    const std::string_view piece(s.data(), s.size());
    const std::less_equal<const char*> at_or_before;
    if (at_or_before(line_.data(), piece.data()) &&
        at_or_before(piece.data() + piece.size(), line_.data() + line_.size())) {
      out_->append(piece);
    } else {
      append_escaped_characters(*out_, piece);
    }
  }

  void literal(std::string_view text) { out_->append(text); }

  std::string_view line_;
  TextBuffer* out_ = nullptr;
  const ObservedAddressRule* rule_ = nullptr;
  std::array<Level, kMaxJsonDepth + 1> levels_;  // [1] is the event object
  std::size_t depth_ = 0;
  struct WrittenName {
    std::size_t offset;  // in *out_, escaped
    std::size_t size;
    std::uint32_t sketch;
  };
  std::vector<WrittenName> names_;  // the member names of the open objects
  std::size_t name_start_ = 0;
  TopMember top_member_ = TopMember::other;           // the event member being read
  std::size_t payload_member_ = kOtherPayloadMember;  // the payload member being read
  bool payload_open_ = false;                         // the open object at depth 2 is the payload
  std::optional<TextSpan>* capture_ = nullptr;        // where the string being read is kept
};

void append_member_name(TextBuffer& out, std::size_t& members, std::string_view name) {
  if (members++ != 0) out.push_back(',');
  out.push_back('"');
  out.append(name);
  out.append("\":");
}

}  // namespace

struct DirectEventWriter::Impl {
  json::basic_parser<DirectHandler> parser{strict_parse_options()};
};

DirectEventWriter::DirectEventWriter() : impl_(std::make_unique<Impl>()) {}
DirectEventWriter::~DirectEventWriter() = default;

bool DirectEventWriter::add(std::string_view line, const Clock& clock,
                            const ObservedAddressRule& rule, PreparedBatch& batch) {
  auto& parser = impl_->parser;
  DirectHandler& handler = parser.handler();
  PreparedEvent event;
  event.text.offset = batch.texts.size();
  parser.reset();
  handler.reset(line, batch.texts, rule);
  json::error_code ec;
  const std::size_t used = parser.write_some(false, line.data(), line.size(), ec);
  if (ec || used != line.size() || !parser.done()) {
    batch.texts.truncate(event.text.offset);
    return false;
  }

  // The members normalisation adds, after all others: the arrival time, then the address.
  DirectHandler::Found& found = handler.found;
  const std::string_view captured = handler.captured;
  const auto text_of = [&](const std::optional<TextSpan>& span) {
    return span ? captured.substr(span->offset, span->size) : std::string_view();
  };
  const std::string_view type = text_of(found.type);
  event.ts = found.ts ? *found.ts : clock();
  if (!found.ts) {
    append_member_name(batch.texts, found.members, kTimeMember);
    append_integer(batch.texts, event.ts);
  }
  std::string_view observed_ip = text_of(found.observed_ip);
  if (rule.stamp_address && type == kRunStartedType) {
    observed_ip = *rule.stamp_address;
    append_member_name(batch.texts, found.members, kObservedIpMember);
    batch.texts.push_back('"');
    append_escaped_characters(batch.texts, observed_ip);
    batch.texts.push_back('"');
  }
  batch.texts.push_back('}');

  event.first_field = batch.fields.size();
  for (std::size_t i = 1; i < kPayloadMembers.size(); ++i) {
    add_prepared_field(batch, event, static_cast<RunField>(i - 1), text_of(found.payload[i]));
  }
  add_prepared_field(batch, event, kObservedIpField, observed_ip);
  const std::string_view run_id = found.payload[0] ? text_of(found.payload[0])
                                  : found.run_id   ? text_of(found.run_id)
                                                   : kUnknownRunId;
  add_written_event(batch, event, run_id, type);
  return true;
}

}  // namespace torvesk
