// messages.hpp: the fixed texts of the message layer's refusals, raised as
// ValueError. Callers match on them: change none of them. A body cut short
// and a bad length prefix share the decoder's own texts (codec/messages.hpp).
#pragma once

namespace velmora::message::msg {

// unpack (service.cpp).
inline constexpr const char* kNested = "container inside a container";
inline constexpr const char* kPastContainer = "message runs past its container";
inline constexpr const char* kAfterLast = "bytes after the last message of a container";
inline constexpr const char* kTooLarge = "gzip_packed inflates past max_inflated";
inline constexpr const char* kCorrupt = "gzip_packed holds a corrupt gzip stream";
inline constexpr const char* kGzipInGzip = "gzip_packed inside gzip_packed";

// gzip_packed's framing (gzip_packed.cpp); a body that is not whole words is
// refused with the envelope's text (protocol/messages.hpp).
inline constexpr const char* kPackedTooLong = "gzip_packed data too long";

}  // namespace velmora::message::msg
