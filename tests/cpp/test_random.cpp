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
using velmora::crypto::random_bytes;

class RandomFork : public ::testing::TestWithParam<bool> {};

TEST_P(RandomFork, ChildDoesNotReuseParentBytes) {
  Draw first{}, mine{}, child{};
  ASSERT_TRUE(random_bytes(first.data(), first.size()));  // the pool is full now
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
#ifdef SYS_fork
  const pid_t pid = GetParam() ? static_cast<pid_t>(syscall(SYS_fork)) : fork();  // raw: no atfork handler
#else
  const pid_t pid = GetParam() ? static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)) : fork();
#endif
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(random_bytes(child.data(), 32) && write(fds[1], child.data(), 32) == 32 ? 0 : 1);
  int status = 0;
  close(fds[1]);  // a child that fails to write ends the read
  ASSERT_EQ(read(fds[0], child.data(), 32), 32);
  close(fds[0]);
  ASSERT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(random_bytes(mine.data(), mine.size()));
  EXPECT_NE(child, mine);
  EXPECT_NE(mine, first);  // a drawn byte is not handed out again
}

INSTANTIATE_TEST_SUITE_P(ForkKinds, RandomFork, ::testing::Values(false, true));

}  // namespace
