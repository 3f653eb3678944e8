// is_local_host on a Host value from the input, against a reference written from the rules; the
// first Host header decides, whatever its letter case and whatever Host headers follow it.
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "fuzz_check.h"
#include "gate/access.h"

namespace torvesk::fuzz {
namespace {

bool is_localhost_name(std::string_view name) {
  static constexpr std::string_view kLocalhost = "localhost";
  if (name.size() != kLocalhost.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kLocalhost[i]) return false;
  }
  return true;
}

bool reference_is_local(std::string_view host) {
  std::string_view name = trim_white_space(host);
  if (!name.empty() && name.front() == '[') {
    name.remove_prefix(1);
    const std::size_t close = name.find(']');
    if (close != std::string_view::npos) name = name.substr(0, close);
  } else if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  return name == "::1" || name == "127.0.0.1" || is_localhost_name(name);
}

}  // namespace
}  // namespace torvesk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace torvesk;
  const std::string host(fuzz::input_text(data, size));
  const bool expected = fuzz::reference_is_local(host);
  FUZZ_CHECK(is_local_host({Header{"Host", host}}) == expected);
  FUZZ_CHECK(is_local_host({Header{"x-forwarded-host", "localhost"}, Header{"hOsT", host},
                            Header{"host", expected ? "example.com" : "localhost"}}) == expected);
  return 0;
}
