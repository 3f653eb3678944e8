// Placeholder until this module is implemented.
#include "store/json.h"
#include <boost/json.hpp>
namespace torvesk {
std::optional<boost::json::value> parse_json_text(std::string_view, boost::json::storage_ptr) { return std::nullopt; }
void append_canonical_json(std::string& out, const boost::json::value& value) { out += boost::json::serialize(value); }
std::string canonical_json(const boost::json::value& value) { std::string s; append_canonical_json(s, value); return s; }
}  // namespace torvesk
