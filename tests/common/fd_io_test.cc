#include "common/fd_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

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

struct pipe_t {
  pipe_t() { EXPECT_EQ(::pipe(fd), 0); }
  ~pipe_t() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void close_writer() {
    ::close(fd[1]);
    fd[1] = -1;
  }
  int fd[2];
};

std::string drain(int fd) {
  std::string all;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
  return all;
}

TEST(WriteAll, SurvivesASignalBeforeTheFirstByte) {
  pipe_t p;
  const int capacity = fcntl(p.fd[1], F_GETPIPE_SZ);
  // Fill the pipe so that the next write blocks before writing anything.
  std::string filler(static_cast<size_t>(capacity), 'f');
  write_all(p.fd[1], filler.data(), filler.size());
  const std::string payload(100000, 'x');
  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    received = drain(p.fd[0]);
  });
  {
    interrupting_alarm_t alarm(20);
    write_all(p.fd[1], payload.data(), payload.size());
  }
  p.close_writer();
  reader.join();
  EXPECT_EQ(received, filler + payload);
}

TEST(WriteAll, ReportsTheSystemErrorWithItsContext) {
  pipe_t p;
  ::close(p.fd[0]);
  p.fd[0] = -1;
  signal(SIGPIPE, SIG_IGN);
  try {
    write_all(p.fd[1], "x", 1);
    FAIL() << "no error";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code().value(), EPIPE);
    EXPECT_EQ(std::string(e.what()).rfind("write: ", 0), 0u) << e.what();
  }
  EXPECT_NO_THROW(write_all(p.fd[1], "", 0));
}

TEST(ReadAll, GathersShortReadsAndSurvivesSignals) {
  pipe_t p;
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    for (char c : std::string("abcdef")) {
      write_all(p.fd[1], &c, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  char buffer[6];
  {
    interrupting_alarm_t alarm(10);
    read_all(p.fd[0], buffer, sizeof buffer);
  }
  writer.join();
  EXPECT_EQ(std::string(buffer, 6), "abcdef");
}

TEST(ReadAll, EndOfFileHalfwayIsUnexpected) {
  pipe_t p;
  write_all(p.fd[1], "abc", 3);
  p.close_writer();
  char buffer[6];
  try {
    read_all(p.fd[0], buffer, sizeof buffer);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unexpected eof");
  }
}

TEST(ReadAll, ReportsTheSystemErrorWithItsContext) {
  char buffer[1];
  try {
    read_all(-1, buffer, 1);
    FAIL() << "no error";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code().value(), EBADF);
    EXPECT_EQ(std::string(e.what()).rfind("read: ", 0), 0u) << e.what();
  }
}

}  // namespace
}  // namespace upd
