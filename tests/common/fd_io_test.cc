#include "common/fd_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace upd {
namespace {

// The writer blocks at once on a full socket, the reader sleeps: the alarm
// interrupts one of them, and both go on.
TEST(FdIo, WriteAllAndReadAllSurviveSignalsAndGatherShortTransfers) {
  // Without SA_RESTART, so that the blocked call returns EINTR instead of
  // being restarted by the kernel.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  ::sigaction(SIGALRM, &action, nullptr);
  itimerval timer{};
  timer.it_value.tv_usec = 20000;
  testing::socket_pair_t pair;
  const std::string payload(1 << 20, 'x');
  std::string received(payload.size(), '\0');
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    read_all(pair.fd[1], received.data(), received.size());
  });
  write_all(pair.fd[0], payload.data(), payload.size());
  reader.join();
  EXPECT_TRUE(received == payload);
  ::shutdown(pair.fd[0], SHUT_WR);
  EXPECT_THAT([&] { read_all(pair.fd[1], received.data(), 1); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("unexpected eof")));
}

}  // namespace
}  // namespace upd
