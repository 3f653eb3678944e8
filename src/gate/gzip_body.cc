#include "gate/gzip_body.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "base/text.h"

namespace torvesk {
namespace {

// zlib's window bits for the gzip wrapper only (15, plus 16): a raw or zlib-wrapped stream is not
// a gzip body.
constexpr int kGzipWindowBits = 15 + 16;
// Output grows by at most this much at a time, so that memory follows what really comes out.
constexpr std::size_t kInflatePieceBytes = 1024 * 1024;
// zlib counts in 32-bit units; input is handed over in pieces below that.
constexpr std::size_t kMaxZlibPiece = std::numeric_limits<uInt>::max() / 2;

class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, kGzipWindowBits) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

}  // namespace

BodyEncoding body_encoding(const std::vector<Header>& headers) {
  const std::string* header = find_header(headers, "content-encoding");
  if (header == nullptr) return BodyEncoding::kIdentity;
  const std::string coding = to_ascii_lower(trim_white_space(*header));
  if (coding.empty() || coding == "identity") return BodyEncoding::kIdentity;
  if (coding == "gzip" || coding == "x-gzip") return BodyEncoding::kGzip;
  return BodyEncoding::kUnsupported;
}

InflateResult inflate_gzip(std::string_view compressed, std::uint64_t limit, std::string& out) {
  out.clear();
  if (compressed.empty()) return InflateResult::kOk;
  Inflater inflater;
  z_stream& stream = inflater.stream();
  const auto* next_in = reinterpret_cast<const Bytef*>(compressed.data());
  std::size_t in_left = compressed.size();
  // One byte beyond the limit is room enough to tell a body that is too large.
  const std::uint64_t room = limit == std::numeric_limits<std::uint64_t>::max() ? limit : limit + 1;
  for (;;) {
    if (stream.avail_in == 0 && in_left > 0) {
      const std::size_t piece = std::min(in_left, kMaxZlibPiece);
      stream.next_in = const_cast<Bytef*>(next_in);
      stream.avail_in = static_cast<uInt>(piece);
      next_in += piece;
      in_left -= piece;
    }
    if (out.size() >= room) return InflateResult::kTooLarge;
    const std::size_t grow =
        static_cast<std::size_t>(std::min<std::uint64_t>(kInflatePieceBytes, room - out.size()));
    const std::size_t old_size = out.size();
    out.resize(old_size + grow);
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + old_size);
    stream.avail_out = static_cast<uInt>(grow);
    const int status = inflate(&stream, Z_NO_FLUSH);
    out.resize(old_size + (grow - stream.avail_out));
    if (status == Z_STREAM_END) {
      if (stream.avail_in == 0 && in_left == 0) {
        return out.size() > limit ? InflateResult::kTooLarge : InflateResult::kOk;
      }
      // Another member follows: gzip bodies may be several members one after another.
      if (inflateReset(&stream) != Z_OK) return InflateResult::kCorrupt;
      continue;
    }
    if (status == Z_BUF_ERROR) {
      // No progress: either the output is full (grown on the next pass) or the input ended
      // inside a member.
      if (stream.avail_out != 0 && stream.avail_in == 0 && in_left == 0) {
        return InflateResult::kCorrupt;
      }
      continue;
    }
    if (status != Z_OK) {
      if (status == Z_MEM_ERROR) throw std::bad_alloc();
      return InflateResult::kCorrupt;
    }
    if (stream.avail_in == 0 && in_left == 0 && stream.avail_out != 0) {
      return InflateResult::kCorrupt;  // all input taken, member not ended
    }
  }
}

std::string deflate_gzip(std::string_view plain) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::bad_alloc();
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(plain.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(out.size() - stream.avail_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("gzip compression failed");
  return out;
}

}  // namespace torvesk
