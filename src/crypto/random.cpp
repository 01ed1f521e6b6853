#include "crypto/random.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

namespace velmora::crypto {
namespace {

// The pool's bytes and its fill level share one page that the kernel hands
// a forked child zeroed (MADV_WIPEONFORK): the child finds the pool empty
// and refills it from its own generator, even after a raw fork (clone,
// _Fork) that runs no atfork handler. The atfork counter sees every fork
// through libc as well, where the wipe is not to be had or not done (an
// emulator such as qemu-user accepts the advice and ignores it). Both cost
// nothing per draw.
std::atomic<unsigned> g_forks{0};
struct PoolPage {
  std::size_t left;
  std::uint8_t bytes[4096 - sizeof(std::size_t)];
};

class ThreadPool {
 public:
  ThreadPool() noexcept {
    len_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (len_ < sizeof(PoolPage)) len_ = sizeof(PoolPage);
    void* p = mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    page_ = static_cast<PoolPage*>(p);
    static const bool hooked =
        pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); }) == 0;
    hooked_ = hooked;
    forks_ = g_forks.load(std::memory_order_relaxed);
#ifdef MADV_WIPEONFORK
    wiped_on_fork_ = madvise(p, len_, MADV_WIPEONFORK) == 0;
#endif
    // Where neither can be had, the process id tells a child (a system call
    // per draw: the slower way, taken only there).
    if (!wiped_on_fork_ || !hooked_) pid_ = getpid();
  }
  ~ThreadPool() {
    if (page_ == nullptr) return;
    OPENSSL_cleanse(page_, sizeof(PoolPage));
    munmap(page_, len_);
  }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The pool's page, emptied first in a child the kernel did not wipe for.
  PoolPage* page() noexcept {
    if (page_ == nullptr) return nullptr;
    const unsigned forks = g_forks.load(std::memory_order_relaxed);
    bool child = forks != forks_;
    if (!wiped_on_fork_ || !hooked_) {
      const pid_t now = getpid();
      child |= now != pid_;
      pid_ = now;
    }
    if (child) OPENSSL_cleanse(page_, sizeof(PoolPage));
    forks_ = forks;
    return page_;
  }

 private:
  PoolPage* page_ = nullptr;
  std::size_t len_ = 0;
  bool wiped_on_fork_ = false;
  bool hooked_ = false;
  unsigned forks_ = 0;  // g_forks when the pool was last drawn from
  pid_t pid_ = 0;
};

}  // namespace

bool random_bytes(std::uint8_t* out, std::size_t n) noexcept {
  thread_local ThreadPool pool;
  PoolPage* page = pool.page();
  if (page == nullptr || n > sizeof(page->bytes)) return random_bytes_unpooled(out, n);
  if (page->left < n) {
    if (RAND_bytes(page->bytes, sizeof(page->bytes)) != 1) return false;
    page->left = sizeof(page->bytes);
  }
  page->left -= n;
  std::memcpy(out, page->bytes + page->left, n);
  OPENSSL_cleanse(page->bytes + page->left, n);  // each byte is handed out once
  return true;
}

bool random_bytes_unpooled(std::uint8_t* out, std::size_t n) noexcept {
  return n <= INT_MAX && RAND_bytes(out, static_cast<int>(n)) == 1;
}

}  // namespace velmora::crypto
