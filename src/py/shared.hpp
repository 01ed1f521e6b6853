// shared.hpp: what the module's process-wide state rests on when threads
// run its code at once.
//
// Under the GIL one thread at a time runs the module's code, so its caches
// and hints need nothing more. The free-threaded CPython (Py_GIL_DISABLED)
// runs it on every thread at once: there each piece of such state is guarded
// as the comment where it is declared says, with one of the tools below.
#pragma once

#include <atomic>

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
template <class T>
T hint_load(const T& slot) noexcept {
  return std::atomic_ref<T>(const_cast<T&>(slot)).load(std::memory_order_relaxed);
}
template <class T>
void hint_store(T& slot, T value) noexcept {
  // Stored only when it changes: threads reading the same record then share
  // its cache line instead of taking it from each other on every call.
  std::atomic_ref<T> ref(slot);
  if (ref.load(std::memory_order_relaxed) != value) ref.store(value, std::memory_order_relaxed);
}

}  // namespace velmora::py
