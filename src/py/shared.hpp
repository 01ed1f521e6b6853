// shared.hpp: what the module's process-wide state rests on when threads
// run its code at once.
//
// Under the GIL one thread at a time runs the module's code, so its caches
// and hints need nothing more. The free-threaded CPython (Py_GIL_DISABLED)
// runs it on every thread at once: there each piece of such state is guarded
// as the comment where it is declared says, with one of the tools below.
#pragma once

#include <atomic>
#include <version>

#include "py/py.hpp"

#ifdef Py_GIL_DISABLED
#define VELMORA_FREE_THREADED 1
// A cache cheap to make again: one per thread on the free-threaded build,
// where one shared copy would be written by all of them.
#define VELMORA_PER_THREAD thread_local
#else
#define VELMORA_PER_THREAD
#endif

namespace velmora::py {

// A hint: written by any thread at any time, read by any other, every value
// ever written a valid one, so that a stale read only costs a slower path.
// Relaxed atomic access is a plain load or store on every processor the
// module is built for; it keeps the compiler from tearing or inventing
// accesses, which is all a hint needs.
// std::atomic_ref where the C++ library has it; libc++ before 19 (clang 14's,
// and the macOS toolchain's) has not, and there the compiler's own atomic
// builtins, which atomic_ref is made of, do the same.
template <class T>
T hint_load(const T& slot) noexcept {
#ifdef __cpp_lib_atomic_ref
  return std::atomic_ref<T>(const_cast<T&>(slot)).load(std::memory_order_relaxed);
#else
  return __atomic_load_n(&slot, __ATOMIC_RELAXED);
#endif
}
template <class T>
void hint_store(T& slot, T value) noexcept {
  // Stored only when it changes: threads reading the same record then share
  // its cache line instead of taking it from each other on every call.
  if (hint_load(slot) == value) return;
#ifdef __cpp_lib_atomic_ref
  std::atomic_ref<T>(slot).store(value, std::memory_order_relaxed);
#else
  __atomic_store_n(&slot, value, __ATOMIC_RELAXED);
#endif
}

}  // namespace velmora::py
