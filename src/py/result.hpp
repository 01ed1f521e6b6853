// result.hpp: the one failure type of the Python-facing code.
//
// An operation returns Result<T>: its value, or a Failure that is either an
// exception class with a message or the marker that the interpreter already
// has an error set. The codec and the module both return it; only the
// module's call frame turns a Failure into a Python exception.
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
};

class [[nodiscard]] Failure {
 public:
  static Failure pending() { return Failure(ErrorKind::kPending, {}); }
  static Failure type(std::string m) { return Failure(ErrorKind::kType, std::move(m)); }
  static Failure value(std::string m) { return Failure(ErrorKind::kValue, std::move(m)); }
  static Failure overflow(std::string m) { return Failure(ErrorKind::kOverflow, std::move(m)); }
  static Failure runtime(std::string m) { return Failure(ErrorKind::kRuntime, std::move(m)); }
  static Failure internal(std::string m) { return Failure(ErrorKind::kInternal, std::move(m)); }

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Failure(ErrorKind k, std::string m) : kind_(k), message_(std::move(m)) {}
  ErrorKind kind_;
  std::string message_;
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
