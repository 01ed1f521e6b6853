// gzip.hpp: the gzip streams that gzip_packed carries, on zlib.
//
// Inflating is bounded: a compressed body cannot expand past the caller's
// limit, whatever its headers claim, because the output is produced in
// pieces and counted as it grows. Plain C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::wire {

enum class GzipStatus : std::uint8_t {
  kOk,
  kTooLarge,  // the inflated data would pass the limit
  kCorrupt,   // not a gzip stream, damaged, cut short, or followed by bytes
  kNoMemory,  // zlib could not allocate its state
};

// Inflates one whole gzip stream into *out (replacing its contents). Refuses
// a stream whose output would pass max_out bytes with kTooLarge, having
// inflated no more than max_out + one piece of it.
GzipStatus gzip_inflate(std::span<const std::uint8_t> in, std::size_t max_out,
                        std::vector<std::uint8_t>* out);

// Compresses in as one gzip stream into *out (replacing its contents).
GzipStatus gzip_deflate(std::span<const std::uint8_t> in, std::vector<std::uint8_t>* out);

}  // namespace velmora::wire
