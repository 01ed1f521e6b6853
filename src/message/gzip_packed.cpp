#include "message/gzip_packed.hpp"

#include <vector>

#include "message/messages.hpp"
#include "message/service.hpp"
#include "protocol/messages.hpp"
#include "wire/gzip.hpp"
#include "wire/wire.hpp"

namespace velmora::message {

Result<py::Ref> gzip_packed(py::ByteView body) {
  if (body.size() % 4 != 0) return Failure::value(protocol::msg::kBodyUnaligned);
  std::vector<std::uint8_t> packed;
  if (wire::gzip_deflate(body, &packed) != wire::GzipStatus::kOk) return Failure::no_memory();
  if (packed.size() > wire::kMaxByteStringLen) return Failure::value(msg::kPackedTooLong);
  wire::Writer w;
  w.put_u32(kGzipPackedId);
  w.put_byte_string(packed.data(), packed.size());
  return py::new_bytes(w.data(), w.size());
}

}  // namespace velmora::message
