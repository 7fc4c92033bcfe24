#include "common/fd_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace upd {
namespace {

// A SIGALRM handler installed without SA_RESTART, so a blocked read or
// write returns EINTR instead of being restarted by the kernel.
class interrupting_alarm_t {
 public:
  explicit interrupting_alarm_t(int after_ms) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, &previous_);
    itimerval timer{};
    timer.it_value.tv_usec = after_ms * 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~interrupting_alarm_t() { sigaction(SIGALRM, &previous_, nullptr); }

 private:
  struct sigaction previous_ {};
};

// The writer blocks at once on a full socket, the reader sleeps: the alarm
// interrupts one of them, and both go on.
TEST(FdIo, WriteAllAndReadAllSurviveSignalsAndGatherShortTransfers) {
  testing::socket_pair_t pair;
  const std::string payload(1 << 20, 'x');
  std::string received(payload.size(), '\0');
  interrupting_alarm_t alarm(20);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    read_all(pair.fd[1], received.data(), received.size());
  });
  write_all(pair.fd[0], payload.data(), payload.size());
  reader.join();
  EXPECT_TRUE(received == payload);
}

}  // namespace
}  // namespace upd
