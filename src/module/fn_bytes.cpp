// cut and pack: slicing and joining byte strings without intermediate objects.
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "module/call.hpp"
#include "module/messages.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

constexpr const char* kParts = "parts";

Failure parts_type_error(std::string_view reason) {
  std::string m = std::string(msg::kArgumentPrefix) + kParts + "': ";
  m.append(reason);
  return Failure::type(std::move(m));
}

// The sequence rule's gate for the argument and for each element: a str is
// never a sequence of bytes, and anything the interpreter does not call a
// sequence (dict, set, generators) is refused by its type name.
Failure* refuse_non_sequence(PyObject* o, std::optional<Failure>& refused) {
  if (py::is_str(o)) {
    refused = parts_type_error(msg::kStrNotParts);
    return &*refused;
  }
  if (!PySequence_Check(o)) {
    std::string reason = "'";
    reason += py::type_qualname(o);
    reason += msg::kCannotConvert;
    reason += msg::kTargetSequence;
    reason += '\'';
    refused = parts_type_error(reason);
    return &*refused;
  }
  return nullptr;
}

// Length used only to size storage in advance; a failure means "unknown".
std::size_t size_hint(PyObject* o) {
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(n);
}

// One converted element: an exact bytes object read in place (kept alive by
// owner), or the bytes gathered from any other sequence of integers.
struct Part {
  py::Ref owner;
  std::string owned;
};

// Calls each(item) for every item that o's iterator yields; the first
// failure, of the iteration or of each, ends it.
template <class Each>
Status for_each_item(PyObject* o, Each&& each) {
  py::Ref it = py::steal(PyObject_GetIter(o));
  if (!it) return prefix_pending_type_error(kParts);
  while (py::Ref item = py::steal(PyIter_Next(it.get()))) {
    Status s = each(item.get());
    if (!s) return s;
  }
  if (PyErr_Occurred()) return prefix_pending_type_error(kParts);
  return Status::success();
}

Status convert_inner(PyObject* o, Part& part) {
  std::optional<Failure> refused;
  if (Failure* f = refuse_non_sequence(o, refused)) return std::move(*f);
  // Exact bytes only: a subclass may iterate differently from its buffer.
  if (Py_TYPE(o) == &PyBytes_Type) {
    part.owner = py::borrow(o);
    return Status::success();
  }
  part.owned.reserve(size_hint(o));
  return for_each_item(o, [&part](PyObject* item) -> Status {
    long v;
    if (py::is_int(item)) {
      v = PyLong_AsLong(item);
    } else {
      py::Ref index = py::steal(PyNumber_Index(item));
      if (!index) return prefix_pending_type_error(kParts);
      v = PyLong_AsLong(index.get());
    }
    // Too large for 64 bits: the interpreter's OverflowError, unchanged.
    if (v == -1 && PyErr_Occurred()) return prefix_pending_type_error(kParts);
    if (static_cast<unsigned long>(v) >= 256) {
      return Failure::overflow(msg::kByteOutOfRange);
    }
    part.owned.push_back(static_cast<char>(v));
    return Status::success();
  });
}

}  // namespace

PyObject* cut(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"cut", {"data", "offset", "length"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto data = arg_bytes("data", (*bound)[0]);
    if (!data) return std::move(data).failure();
    auto offset = arg_u64("offset", (*bound)[1]);
    if (!offset) return std::move(offset).failure();
    auto length = arg_u64("length", (*bound)[2]);
    if (!length) return std::move(length).failure();
    const std::uint64_t n = data->size();
    if (*offset > n) return Failure::value(msg::kOffsetOutOfRange);
    // n - offset cannot wrap, so no end index is ever formed.
    const std::uint64_t count = *length < n - *offset ? *length : n - *offset;
    return new_bytes(data->data() + *offset, static_cast<std::size_t>(count));
  });
}

PyObject* pack(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"pack", {kParts}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    PyObject* outer = (*bound)[0];
    std::optional<Failure> refused;
    if (Failure* f = refuse_non_sequence(outer, refused)) return std::move(*f);

    // Everything is converted before anything is joined.
    std::vector<Part> parts;
    parts.reserve(size_hint(outer));
    Status converted = for_each_item(outer, [&parts](PyObject* item) {
      parts.emplace_back();
      return convert_inner(item, parts.back());
    });
    if (!converted) return std::move(converted).failure();

    std::size_t total = 0;
    for (const Part& p : parts) {
      const std::size_t len = p.owner ? bytes_view(p.owner.get()).size() : p.owned.size();
      if (len > static_cast<std::size_t>(PY_SSIZE_T_MAX) - total) {
        return Failure::overflow(msg::kPackTooLarge);
      }
      total += len;
    }
    py::Ref out = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out) return Failure::pending();
    char* dst = PyBytes_AsString(out.get());
    if (dst == nullptr) return Failure::pending();
    for (const Part& p : parts) {
      if (p.owner) {
        const ByteView v = bytes_view(p.owner.get());
        if (!v.empty()) std::memcpy(dst, v.data(), v.size());
        dst += v.size();
      } else {
        // Raw bytes into a bytes object's buffer: no terminator is wanted.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        if (!p.owned.empty()) std::memcpy(dst, p.owned.data(), p.owned.size());
        dst += p.owned.size();
      }
    }
    return out;
  });
}

}  // namespace velmora::module
