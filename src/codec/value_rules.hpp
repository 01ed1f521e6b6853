// value_rules.hpp: what the encoder accepts for each TL value type.
//
// The one home of the serializer's leniency (docs/types.md, "what the encoder
// accepts" columns). Each rule takes one Python value and writes its encoding,
// returning true, or writes nothing and returns false with its failure (a
// text of codec/messages.hpp) in the Fault. Every rule has this shape so that
// a strict twin can sit beside it and the walk can pick one of the two by a flag.
//
// A rule that may run Python code (__index__, __float__, a NumPy scalar's
// truth) calls python_may_run() first (codec/field_values.hpp).
#pragma once

#include <cstdint>
#include <string>

#include "codec/fault.hpp"
#include "codec/messages.hpp"
#include "py/py.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

// Bytes taken from a Python value: a view into an object kept alive, or
// bytes of our own.
struct ByteSource {
  const std::uint8_t* data = nullptr;  // the bytes, valid while this lives
  std::size_t len = 0;
  py::Ref keep;     // the object that data views, if any
  std::string own;  // the bytes made here (decoded hex, a list of ints)

  void set_own() {
    data = reinterpret_cast<const std::uint8_t*>(own.data());
    len = own.size();
  }
  void set_view(py::ByteView v) {
    data = v.data();
    len = v.size();
  }
};

// Every scalar type: int, flags ("#"), long, double, int128, int256, bytes,
// string, Bool and true. Vectors and objects are the walk's.
// Hot, as the walk's own steps (walk.hpp says why).
[[gnu::hot]] bool write_scalar(wire::TypeKind kind, PyObject* v, wire::Writer& w, Fault& fault);

// The strict twins: each rule of write_scalar tightened as the package's
// default encoding has it. Whatever a twin writes is what write_scalar writes
// for the same value (bytearray and memoryview as the bytes they hold); it
// refuses the rest ("<text>, got <what>", codec/refusals.hpp). With hex_text
// (JSON input), a str of hex digits stands for the bytes it spells where
// bytes-like is accepted.
[[gnu::hot]] bool write_scalar_strict(wire::TypeKind kind, PyObject* v, wire::Writer& w, bool hex_text,
                                      Fault& fault);
// The strict twin of write_ready_made: bytes-like only.
// Strict: bytes-like, a non-empty multiple of 4 bytes; *first is its
// first word, the identifier of the object it holds.
bool write_ready_made_strict(PyObject* v, wire::Writer& w, std::uint32_t* first, Fault& fault);
// A presence flag's value, strictly: a boolean (to_bool) or None.
bool check_presence_flag(PyObject* v, Fault& fault);
// The length of a value refused by its length: bytes-like, or hex text.
std::size_t given_byte_length(PyObject* v);

// The value of an Object field that is no dict: bytes of a ready-made
// encoding, or their hex text, inserted unchecked.
bool write_ready_made(PyObject* v, wire::Writer& w, Fault& fault);

// The Bool rule, also read for a presence flag ("true" under a flags bit):
// 1 or 0, or -1 when the value is no boolean (True, False, NumPy's bool).
int to_bool(PyObject* v);

// The leading items of an int or long vector (T: their width, 4 or 8 bytes)
// that are exact ints fitting 64 signed bits: they convert without running
// Python code, so the items stay borrowed and the sequence cannot change
// under us. Returns the index of the first other item, left to write_scalar.
template <class T, bool Strict = false>
[[gnu::hot]] Py_ssize_t write_exact_int_run(wire::Writer& w, PyObject* seq, bool list, Py_ssize_t n);

// The text of an object name, for the lookup and the messages. A str with no
// UTF-8 form (a lone surrogate) names nothing in any schema: it is rendered
// with backslash escapes for the message, and *exact is cleared so that the
// rendering is never looked up. False only when even that fails.
bool name_text(PyObject* s, ByteSource& out, bool* exact);

}  // namespace velmora::codec
