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

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "py/result.hpp"

namespace velmora::codec {

class Fault {
 public:
  Fault() = default;
  // A failed call's strings are freed out of line: a call that succeeds
  // inlines no more than the test.
  ~Fault() {
    if (detail_) drop();
  }
  Fault(const Fault&) = delete;
  Fault& operator=(const Fault&) = delete;

  // Each returns false, so that a failing step ends with `return fault.fail(...)`.
  [[gnu::noinline]] bool fail(const char* text, ErrorKind kind = ErrorKind::kValue) {
    return fail(std::string(text), kind);
  }
  [[gnu::noinline]] bool fail(std::string text, ErrorKind kind = ErrorKind::kValue) {
    kind_ = kind;
    detail_ = std::make_unique<Detail>(Detail{std::move(text), {}, false});
    return false;
  }
  // The interpreter's error indicator is set: it is raised as it is.
  bool pending() {
    kind_ = ErrorKind::kPending;
    detail_.reset();
    return false;
  }

  // One step of where, put before the steps already taken: ":<field>" and
  // "[<index>]" on the strict path, "<object>:<field>" (and a nested object's
  // "ValueError: ") in the lenient texts. A located failure reads
  // "<path>: <text>"; one that never took a step, just "<text>".
  [[gnu::noinline]] void step(std::string_view where) {
    if (!detail_) return;
    detail_->path.insert(0, where);
    detail_->located = true;
  }
  // The failure is the object's own (a missing field, an unknown key): it
  // reads "<path>: <text>" even before any step.
  void locate() {
    if (detail_) detail_->located = true;
  }
  bool located() const noexcept { return detail_ && detail_->located; }

  bool failed() const noexcept { return kind_ == ErrorKind::kPending || detail_; }
  ErrorKind kind() const noexcept { return kind_; }
  std::string_view text() const noexcept { return detail_ ? std::string_view(detail_->text) : std::string_view(); }
  std::string_view path() const noexcept { return detail_ ? std::string_view(detail_->path) : std::string_view(); }
  [[gnu::noinline]] std::string message() const {
    if (!detail_) return {};
    return detail_->located ? std::string(detail_->path).append(": ").append(detail_->text) : detail_->text;
  }

  // The module's Failure: the one place a Fault becomes one. A Fault never
  // filled stands for the interpreter's error (a null reference from the C API).
  [[gnu::noinline]] Failure failure() && {
    return detail_ && kind_ != ErrorKind::kPending ? Failure::of_kind(kind_, message()) : Failure::pending();
  }

 private:
  struct Detail {
    std::string text;
    std::string path;
    bool located;
  };
  [[gnu::noinline]] void drop() noexcept { detail_.reset(); }

  ErrorKind kind_ = ErrorKind::kValue;
  // Made by the first failure: a call that succeeds builds no strings.
  std::unique_ptr<Detail> detail_;
};

}  // namespace velmora::codec
