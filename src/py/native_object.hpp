// native_object.hpp: Python objects that own one C++ object, for the
// stateful protocol objects (a CTR stream, a transport codec, a key exchange,
// a session) whose state must stay native.
//
// An instance is NativeObject<T>: the object header, then the owned T*. The
// type is a heap type made from a PyType_Spec (the limited API has no static types
// of our own); the module layer supplies its slots (tp_new, methods), since
// they need the call frame. The T is deleted with the instance, so its
// destructor is where key material is wiped. No Python references live in
// T, so the types need no garbage-collector support.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "py/py.hpp"

namespace velmora::py {

template <class T>
struct NativeObject {
  PyObject ob_base;
  T* state;
};

// The state of an instance of a type made for T (never null once tp_new has
// returned it).
template <class T>
T& state_of(PyObject* self) noexcept {
  return *reinterpret_cast<NativeObject<T>*>(self)->state;
}

// tp_dealloc of a type made for T: deletes the state, frees the instance and
// drops the instance's reference to its heap type.
template <class T>
void native_dealloc(PyObject* self) noexcept {
  auto* o = reinterpret_cast<NativeObject<T>*>(self);
  delete std::exchange(o->state, nullptr);
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A new instance of type owning state; the failure when the interpreter is
// out of memory (state is then deleted).
template <class T>
Result<Ref> adopt(PyTypeObject* type, std::unique_ptr<T> state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* o = alloc(type, 0);
  if (o == nullptr) return Failure::pending();
  reinterpret_cast<NativeObject<T>*>(o)->state = state.release();
  return steal(o);
}

// A heap type for T from the module's slots (tp_new, methods, getters, doc);
// tp_dealloc is added here. Not subclassable, so no Python code of a
// subclass runs around the state. Null with an error set on failure.
template <class T>
PyObject* make_native_type(const char* qualified_name, PyType_Slot* slots) noexcept {
  // slots ends with {0, nullptr}; the dealloc slot goes first.
  std::size_t n = 0;
  while (slots[n].slot != 0) ++n;
  std::unique_ptr<PyType_Slot[]> all(new (std::nothrow) PyType_Slot[n + 2]);
  if (!all) {
    PyErr_NoMemory();
    return nullptr;
  }
  all[0] = {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<T>)};
  for (std::size_t i = 0; i <= n; ++i) all[i + 1] = slots[i];
  PyType_Spec type_spec{qualified_name, static_cast<int>(sizeof(NativeObject<T>)), 0,
                        Py_TPFLAGS_DEFAULT, all.get()};
  return PyType_FromSpec(&type_spec);
}

}  // namespace velmora::py
