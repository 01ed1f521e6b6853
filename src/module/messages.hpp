// messages.hpp: the module's fixed failure texts.
//
// Callers match on these texts (the exception's message): change none of
// them. Odd-looking ones are deliberate, kept as callers know them: the
// conversion targets 'PyBytes', 'PyString' and 'Sequence', "Can't extract
// `str` to `Vec`", and the argument-binding texts worded as the interpreter
// words its own. Formatted texts are marked where they are made (call.cpp's
// binding texts, the GCM nonce length).
#pragma once

namespace velmora::module::msg {

// Argument conversion: "argument '<param>': '<type>' object cannot be
// converted to '<target>'" (call.cpp, fn_bytes.cpp).
inline constexpr const char* kArgumentPrefix = "argument '";
inline constexpr const char* kCannotConvert = "' object cannot be converted to '";
inline constexpr const char* kTargetBytes = "PyBytes";
inline constexpr const char* kTargetText = "PyString";
inline constexpr const char* kTargetSequence = "Sequence";
inline constexpr const char* kStrNotParts = "Can't extract `str` to `Vec`";
// "argument '<param>': <type> object is not an int" and "argument '<param>':
// out of range for <n> bits" (call.cpp's arg_bits).
inline constexpr const char* kNotAnInt = " object is not an int";
inline constexpr const char* kOutOfRangeBits = "': out of range for ";

// cut and pack (fn_bytes.cpp); the offset's also _read's (fn_message.cpp).
inline constexpr const char* kByteOutOfRange = "out of range integral type conversion attempted";
inline constexpr const char* kOffsetOutOfRange = "offset out of range";
inline constexpr const char* kPackTooLarge = "pack result too large";

// The message layer's entries (fn_message.cpp); the first two are followed
// by the sender's repr and the type's name.
inline constexpr const char* kSenderName = "sender must be 'client' or 'server', not ";
inline constexpr const char* kTypeNotReadable = "type not readable: ";
inline constexpr const char* kPendingNotDict = "pending must be a dict or None";
inline constexpr const char* kMessageTypeClass = "_message_type() takes a subclass of tuple";

// Followed by the count: "AES-GCM nonce must be 12 bytes, got <n>" (fn_crypto.cpp).
inline constexpr const char* kGcmNonceLength = "AES-GCM nonce must be 12 bytes, got ";
// Followed by the parser's own text (fn_schema.cpp).
inline constexpr const char* kSchemaParsing = "schema parsing failed: ";

// The native protocol objects' __reduce__ (call.cpp): followed by
// "'<type>' object", as "cannot pickle 'Ctr' object".
inline constexpr const char* kNotCopyable = "cannot copy or pickle ";

// The module's import (module.cpp).
inline constexpr const char* kInitialisedTwice =
    "velmora.ext may be initialised only once per interpreter process";

// Internal faults (call.hpp, call.cpp): velmora.ext.InternalFault's texts.
inline constexpr const char* kNoResult = "operation returned no result";
inline constexpr const char* kUnidentifiedFault = "unidentified internal fault";
inline constexpr const char* kNoException = "failure reported without an exception";
inline constexpr const char* kInternalFault = "internal fault";

}  // namespace velmora::module::msg
