// threads.hpp: native work with the interpreter lock released, and the lock
// of a native object shared between threads.
//
// Work on 64 KiB or more runs without the GIL, so that other Python threads
// go on meanwhile (downloads deciphered in parallel). It must touch no
// Python object. An object whose state such work uses has a std::mutex of
// its own, since the GIL no longer serialises its users (and a free-threaded
// interpreter has none).
#pragma once

#include <cstddef>
#include <mutex>

#include "py/py.hpp"

namespace velmora::py {

// Inputs from this size on are worked on with the GIL released.
inline constexpr std::size_t kReleaseGilFrom = std::size_t{64} << 10;

// Runs fn() with the GIL released when `release`, else as it is.
template <class Fn>
auto without_gil(bool release, Fn&& fn) {
  if (!release) return fn();
  PyThreadState* saved = PyEval_SaveThread();
  struct Restore {
    PyThreadState* s;
    ~Restore() { PyEval_RestoreThread(s); }
  } restore{saved};
  return fn();
}

// Holds a native object's mutex for a call. Taken with the GIL held; when
// another thread has it, the wait happens with the GIL released, so that
// the holder, which may need the GIL to finish, is never blocked by us.
class StateLock {
 public:
  explicit StateLock(std::mutex& m) : m_(m) {
    if (m_.try_lock()) return;
    PyThreadState* saved = PyEval_SaveThread();
    m_.lock();
    PyEval_RestoreThread(saved);
  }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  ~StateLock() { m_.unlock(); }

 private:
  std::mutex& m_;
};

}  // namespace velmora::py
