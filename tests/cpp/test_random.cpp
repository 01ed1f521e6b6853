// The random pool across a fork: a child, forked with or without the atfork
// handlers, never hands out the bytes its parent is about to.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>

#include "crypto/random.hpp"

namespace {

using Draw = std::array<std::uint8_t, 32>;

pid_t fork_by(bool raw) {
  if (!raw) return fork();
#ifdef SYS_fork
  return static_cast<pid_t>(syscall(SYS_fork));  // no atfork handler runs
#else
  return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
#endif
}

class RandomFork : public ::testing::TestWithParam<bool> {};

TEST_P(RandomFork, ChildDoesNotReuseParentBytes) {
  Draw first{}, mine{}, child{};
  ASSERT_TRUE(velmora::crypto::random_bytes(first.data(), first.size()));  // the pool is full now
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork_by(GetParam());
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Draw d{};
    const bool ok = velmora::crypto::random_bytes(d.data(), d.size());
    _exit(ok && write(fds[1], d.data(), d.size()) == static_cast<ssize_t>(d.size()) ? 0 : 1);
  }
  close(fds[1]);
  ASSERT_EQ(read(fds[0], child.data(), child.size()), static_cast<ssize_t>(child.size()));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(velmora::crypto::random_bytes(mine.data(), mine.size()));
  EXPECT_NE(child, mine);
  EXPECT_NE(mine, first);  // a drawn byte is not handed out again
}

INSTANTIATE_TEST_SUITE_P(ForkKinds, RandomFork, ::testing::Values(false, true));

}  // namespace
