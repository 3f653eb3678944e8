#include "server/request.h"

#include <algorithm>

#include "base/text.h"

namespace torvesk {

const std::string* find_header(const std::vector<Header>& headers, std::string_view name) {
  for (const Header& header : headers) {
    if (equals_ignoring_ascii_case(header.name, name)) return &header.value;
  }
  return nullptr;
}

bool StringBodyReader::read_to_end(std::string& out, std::uint64_t cap) {
  if (fail_) return false;
  const std::size_t left = body_.size() - offset_;
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, cap));
  out.append(body_, offset_, take);
  offset_ += take;
  return true;
}

std::string_view request_path(std::string_view target) {
  return target.substr(0, target.find('?'));
}

}  // namespace torvesk
