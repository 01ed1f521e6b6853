// result.hpp: the failure type of the message layer and the module.
//
// An operation returns Result<T>: its value, or a Failure that is either an
// exception class with a message or the marker that the interpreter already
// has an error set. The message layer and the module return it; the codec
// fills its own Fault (codec/fault.hpp), which its callers turn into a
// Failure. Only the module's call frame turns a Failure into a Python
// exception.
#pragma once

#include <cassert>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace velmora {

enum class ErrorKind {
  kPending,   // the interpreter's error indicator is already set
  kType,      // TypeError
  kValue,     // ValueError
  kOverflow,  // OverflowError
  kRuntime,   // RuntimeError
  kInternal,  // the module's internal-fault exception (derives from BaseException)
  kNoMemory,  // MemoryError: an allocation outside the interpreter failed
  // The package's own classes, made once by the call frame (module/call.cpp):
  kSecurity,   // velmora.message.SecurityError (a ValueError): a refused frame or message
  kHandshake,  // velmora.handshake.HandshakeError (a SecurityError): a refused key exchange
  kFraming,    // velmora.transport.FramingError (a ValueError): a broken stream
  kTransport,  // velmora.transport.TransportError: the server's error code; code() holds it
};

class [[nodiscard]] Failure {
 public:
  static Failure pending() { return Failure(ErrorKind::kPending, {}); }
  static Failure type(std::string m) { return Failure(ErrorKind::kType, std::move(m)); }
  static Failure value(std::string m) { return Failure(ErrorKind::kValue, std::move(m)); }
  static Failure overflow(std::string m) { return Failure(ErrorKind::kOverflow, std::move(m)); }
  static Failure runtime(std::string m) { return Failure(ErrorKind::kRuntime, std::move(m)); }
  static Failure internal(std::string m) { return Failure(ErrorKind::kInternal, std::move(m)); }
  static Failure no_memory() { return Failure(ErrorKind::kNoMemory, {}); }
  static Failure security(std::string m) { return Failure(ErrorKind::kSecurity, std::move(m)); }
  static Failure handshake(std::string m) { return Failure(ErrorKind::kHandshake, std::move(m)); }
  static Failure framing(std::string m) { return Failure(ErrorKind::kFraming, std::move(m)); }
  // A failure of the given kind, as a lower layer's failure type carries it
  // (codec/fault.hpp); kPending and kNoMemory take no message.
  static Failure of_kind(ErrorKind k, std::string m) { return Failure(k, std::move(m)); }
  static Failure transport(std::string m, long long code) {
    Failure f(ErrorKind::kTransport, std::move(m));
    f.code_ = code;
    return f;
  }

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // The server's error code of a kTransport failure (its exception's .code).
  long long code() const noexcept { return code_; }

 private:
  Failure(ErrorKind k, std::string m) : kind_(k), message_(std::move(m)) {}
  ErrorKind kind_;
  std::string message_;
  long long code_ = 0;
};

// A value or a Failure. Small on purpose: the hot paths return it by value.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Failure f) : failure_(std::move(f)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  T& operator*() & { return *value_; }
  T&& operator*() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const Failure& failure() const& { return *failure_; }
  Failure&& failure() && { return std::move(*failure_); }

 private:
  std::optional<T> value_;
  std::optional<Failure> failure_;
};

// Result of an operation that yields nothing but success.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure f) : failure_(std::move(f)) {}  // NOLINT(google-explicit-constructor)
  static Status success() { return Status(); }
  bool ok() const noexcept { return !failure_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  const Failure& failure() const& { return *failure_; }
  Failure&& failure() && { return std::move(*failure_); }

 private:
  std::optional<Failure> failure_;
};

}  // namespace velmora
