// decode_run_id on a path segment from the input, against a reference percent-decoder written
// from the rules: the result is the decoded bytes when they are UTF-8, else the segment itself.
#include <string>
#include <string_view>

#include "base/text.h"
#include "fuzz_check.h"
#include "gate/dispatch.h"

namespace torvesk::fuzz {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string reference_decode(std::string_view segment) {
  std::string decoded;
  for (std::size_t i = 0; i < segment.size();) {
    if (segment[i] == '%' && i + 2 < segment.size() && hex_value(segment[i + 1]) >= 0 &&
        hex_value(segment[i + 2]) >= 0) {
      decoded.push_back(
          static_cast<char>(hex_value(segment[i + 1]) * 16 + hex_value(segment[i + 2])));
      i += 3;
    } else {
      // A "%" without two hex digits after it is an ordinary byte; scanning goes on after it.
      decoded.push_back(segment[i]);
      i += 1;
    }
  }
  return is_valid_utf8(decoded) ? decoded : std::string(segment);
}

}  // namespace
}  // namespace torvesk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace torvesk;
  const std::string_view segment = fuzz::input_text(data, size);
  const std::string run_id = decode_run_id(segment);
  FUZZ_CHECK(is_valid_utf8(run_id) || run_id == segment);
  FUZZ_CHECK(run_id == fuzz::reference_decode(segment));
  return 0;
}
