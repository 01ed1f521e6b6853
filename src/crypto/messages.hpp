// messages.hpp: the fixed texts of AES-GCM's and AES-IGE's failures.
//
// The module raises these unchanged (RuntimeError), and callers match on
// them: keep every text as it is. "aead::Error" and "Invalid Length" look
// like leftovers of some other library; they are the texts callers already
// know, on purpose. Every decryption failure (short input, a length over its
// limit, a forged or damaged message) shares one text, so that a caller
// cannot tell them apart.
#pragma once

namespace velmora::crypto::msg {

inline constexpr const char* kGcmKeyLength = "AES-GCM key error: Invalid Length";
inline constexpr const char* kGcmEncrypt = "AES-GCM encrypt error: aead::Error";
inline constexpr const char* kGcmDecrypt = "AES-GCM decrypt error: aead::Error";
// The module adds the received length; callers do not match on this one.
inline constexpr const char* kGcmNonceLength = "AES-GCM nonce must be 12 bytes";

// AES-IGE (aes_ige.cpp's ige_status_message).
inline constexpr const char* kIgeDataLength = "AES-IGE data length must be a multiple of 16";
inline constexpr const char* kIgeKeyLength = "AES-IGE key must be 32 bytes";
inline constexpr const char* kIgeIvLength = "AES-IGE IV must be 32 bytes";
inline constexpr const char* kIgeCipher = "AES-IGE cipher failure";

}  // namespace velmora::crypto::msg
