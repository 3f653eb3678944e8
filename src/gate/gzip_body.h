// Request bodies sent with Content-Encoding: gzip.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/request.h"

namespace torvesk {

enum class BodyEncoding { kIdentity, kGzip, kUnsupported };

// The first Content-Encoding header, trimmed, ASCII case ignored: none or "identity", "gzip" (or
// its old name "x-gzip"), or anything else, a list of codings included.
BodyEncoding body_encoding(const std::vector<Header>& headers);

enum class InflateResult { kOk, kTooLarge, kCorrupt };

// Decompresses one or more gzip members into `out` (replacing what it held), a piece at a time,
// stopping as soon as more than `limit` bytes would come out, so that a small body that inflates
// to gigabytes costs no more than `limit` + 1 bytes. Anything after the last member, a truncated
// member or a failed check is kCorrupt; an empty input is a valid empty body.
InflateResult inflate_gzip(std::string_view compressed, std::uint64_t limit, std::string& out);

// The gzip form of `plain` (one member), for clients and tests.
std::string deflate_gzip(std::string_view plain);

}  // namespace torvesk
