// Fuzzes the message envelope as plain C++. Each input is opened as a frame
// (its first 8 bytes replaced by the key's id, so that it reaches the
// decryption), and sealed as a body with padding taken from the input, then
// opened again: that round trip must give the body back, and a refused
// frame must leave nothing decrypted in the buffer. Any failure aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/envelope.hpp"

using namespace velmora::protocol;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_envelope: %s\n", what);
  std::abort();
}

const std::uint8_t* key() {
  static std::uint8_t k[kAuthKeySize];
  for (std::size_t i = 0; i < kAuthKeySize; ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return k;
}

void open_as_frame(const std::uint8_t* data, std::size_t size, Sender sender) {
  std::vector<std::uint8_t> frame(data, data + size);
  if (frame.size() >= 8) {
    const std::uint64_t id = auth_key_id(key());
    std::memcpy(frame.data(), &id, 8);
  }
  std::vector<std::uint8_t> plain(open_buffer_size(frame.size()), 0x5A);
  Opened o;
  const EnvelopeStatus st =
      open_message(key(), kAuthKeySize, sender, frame.data(), frame.size(), plain.data(), &o);
  if (st == EnvelopeStatus::kOk) {
    if (o.body_offset + o.body_len > plain.size()) fail("body past the buffer");
    return;
  }
  for (std::uint8_t b : plain) {
    if (b != 0 && b != 0x5A) fail("a refused frame left decrypted bytes behind");
  }
}

void seal_and_open(const std::uint8_t* data, std::size_t size, Sender sender) {
  const std::size_t body_len = size & ~std::size_t{3};
  const std::size_t padding_len = default_padding_len(body_len) + 16 * (size % 4);
  std::vector<std::uint8_t> padding(padding_len, 0xA5);
  const EnvelopeHeader h{1, -2, 3, -4};
  std::vector<std::uint8_t> frame(frame_size(body_len, padding_len));
  std::vector<std::uint8_t> scratch(frame.size() + 8);
  if (seal_message(key(), kAuthKeySize, sender, h, data, body_len, padding.data(), padding_len,
                   scratch.data(), frame.data()) != EnvelopeStatus::kOk) {
    fail("seal refused a body of a multiple of 4 bytes");
  }
  std::vector<std::uint8_t> plain(open_buffer_size(frame.size()));
  Opened o;
  if (open_message(key(), kAuthKeySize, sender, frame.data(), frame.size(), plain.data(), &o) !=
      EnvelopeStatus::kOk) {
    fail("open refused what seal made");
  }
  if (o.body_len != body_len || (body_len && std::memcmp(plain.data() + o.body_offset, data, body_len)) ||
      o.header.salt != 1 || o.header.session_id != -2 || o.header.msg_id != 3 || o.header.seq_no != -4) {
    fail("open gave back other than what seal was given");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Sender sender = size && (data[0] & 1) ? Sender::kServer : Sender::kClient;
  open_as_frame(data, size, sender);
  seal_and_open(data, size, sender);
  return 0;
}
