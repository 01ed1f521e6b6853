#include "wire/gzip.hpp"

#include <zlib.h>

#include <limits>

namespace velmora::wire {
namespace {

// 15 bits of window, +16: a gzip header and trailer, not zlib's or none.
constexpr int kGzipWindow = 15 + 16;
// The output grows by at most this much per inflate step.
constexpr std::size_t kPiece = std::size_t{64} * 1024;

// Ends the stream on every return path.
template <int (*End)(z_streamp)>
struct Stream {
  z_stream z{};
  bool live = false;
  ~Stream() {
    if (live) End(&z);
  }
};

}  // namespace

GzipStatus gzip_inflate(std::span<const std::uint8_t> in, std::size_t max_out,
                        std::vector<std::uint8_t>* out) {
  out->clear();
  if (in.size() > std::numeric_limits<uInt>::max()) return GzipStatus::kCorrupt;
  Stream<inflateEnd> s;
  if (inflateInit2(&s.z, kGzipWindow) != Z_OK) return GzipStatus::kNoMemory;
  s.live = true;
  s.z.next_in = const_cast<Bytef*>(in.data());  // zlib's API is not const; it only reads
  s.z.avail_in = static_cast<uInt>(in.size());
  for (;;) {
    // One byte past the limit is enough to know that the limit is passed
    // (no more than a piece, and no overflow when the limit is the largest size).
    const std::size_t left = max_out - out->size();
    const std::size_t room = left >= kPiece ? kPiece : left + 1;
    const std::size_t had = out->size();
    out->resize(had + room);
    s.z.next_out = out->data() + had;
    s.z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&s.z, Z_NO_FLUSH);
    out->resize(had + room - s.z.avail_out);
    if (out->size() > max_out) return GzipStatus::kTooLarge;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_MEM_ERROR) return GzipStatus::kNoMemory;
    // Z_BUF_ERROR with output room left means the input ran out mid-stream.
    if (rc != Z_OK) return GzipStatus::kCorrupt;
  }
  return s.z.avail_in == 0 ? GzipStatus::kOk : GzipStatus::kCorrupt;
}

GzipStatus gzip_deflate(std::span<const std::uint8_t> in, std::vector<std::uint8_t>* out) {
  out->clear();
  if (in.size() > std::numeric_limits<uInt>::max()) return GzipStatus::kTooLarge;
  Stream<deflateEnd> s;
  if (deflateInit2(&s.z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return GzipStatus::kNoMemory;
  }
  s.live = true;
  out->resize(deflateBound(&s.z, static_cast<uLong>(in.size())));
  s.z.next_in = const_cast<Bytef*>(in.data());
  s.z.avail_in = static_cast<uInt>(in.size());
  s.z.next_out = out->data();
  s.z.avail_out = static_cast<uInt>(out->size());
  // deflateBound leaves room for the whole stream, so one call finishes it.
  if (deflate(&s.z, Z_FINISH) != Z_STREAM_END) return GzipStatus::kNoMemory;
  out->resize(s.z.total_out);
  return GzipStatus::kOk;
}

}  // namespace velmora::wire
