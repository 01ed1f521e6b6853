// fault.hpp: the codec's one failure type.
//
// A codec function that can fail takes the caller's Fault and returns false
// (or a null reference) once it has filled it: what failed (its text, one of
// codec/messages.hpp or formatted from them), where (the path the walk adds
// step by step on its way out of the objects) and as which exception. The
// module's entry points turn it into the module's Failure (module/call.hpp);
// so does the message layer where it hands a codec failure on as its own.
//
// Everything that builds a text is out of line: the failure path is rare,
// and the walk's recursive frames stay small.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "py/result.hpp"

namespace velmora::codec {

class Fault {
 public:
  // Each returns false, so that a failing step ends with `return fault.fail(...)`.
  [[gnu::noinline]] bool fail(const char* text, ErrorKind kind = ErrorKind::kValue) {
    return fail(std::string(text), kind);
  }
  [[gnu::noinline]] bool fail(std::string text, ErrorKind kind = ErrorKind::kValue) {
    kind_ = kind;
    text_ = std::move(text);
    path_.clear();
    located_ = false;
    return false;
  }
  // The interpreter's error indicator is set: it is raised as it is.
  bool pending() {
    kind_ = ErrorKind::kPending;
    text_.clear();
    return false;
  }

  // One step of where, put before the steps already taken: ":<field>" and
  // "[<index>]" on the strict path, "<object>:<field>" (and a nested object's
  // "ValueError: ") in the lenient texts. A located failure reads
  // "<path>: <text>"; one that never took a step, just "<text>".
  [[gnu::noinline]] void step(std::string_view where) { path_.insert(0, where); located_ = true; }
  // The failure is the object's own (a missing field, an unknown key): it
  // reads "<path>: <text>" even before any step.
  void locate() { located_ = true; }
  bool located() const noexcept { return located_; }

  bool failed() const noexcept { return kind_ == ErrorKind::kPending || !text_.empty(); }
  ErrorKind kind() const noexcept { return kind_; }
  const std::string& text() const noexcept { return text_; }
  const std::string& path() const noexcept { return path_; }
  [[gnu::noinline]] std::string message() const {
    return located_ ? std::string(path_).append(": ").append(text_) : text_;
  }

  // The module's Failure: the one place a Fault becomes one. A Fault never
  // filled stands for the interpreter's error (a null reference from the C API).
  [[gnu::noinline]] Failure failure() && {
    return failed() && kind_ != ErrorKind::kPending ? Failure::of_kind(kind_, message()) : Failure::pending();
  }

 private:
  ErrorKind kind_ = ErrorKind::kValue;
  bool located_ = false;
  std::string text_;
  std::string path_;
};

}  // namespace velmora::codec
