// messages.hpp: the fixed texts of AES-GCM's failures.
//
// The module raises these unchanged (RuntimeError), and callers match on
// them: keep every text as it is. "aead::Error" and "Invalid Length" look
// like leftovers of some other library; they are the texts callers already
// know, on purpose. Every decryption failure (short input, a length over its
// limit, a forged or damaged message) shares one text, so that a caller
// cannot tell them apart. AES-IGE's texts are fixed where they are written,
// in aes_ige.cpp's ige_status_message.
#pragma once

namespace velmora::crypto::messages {

inline constexpr const char* kGcmKeyLength = "AES-GCM key error: Invalid Length";
inline constexpr const char* kGcmEncrypt = "AES-GCM encrypt error: aead::Error";
inline constexpr const char* kGcmDecrypt = "AES-GCM decrypt error: aead::Error";
// The module adds the received length; callers do not match on this one.
inline constexpr const char* kGcmNonceLength = "AES-GCM nonce must be 12 bytes";

}  // namespace velmora::crypto::messages
