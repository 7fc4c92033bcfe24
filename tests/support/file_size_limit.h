// Makes writes to regular files fail past a size (EFBIG), the way a full
// disk fails them, for the life of the object. A failing write needs no
// device this way: the component replaces whatever stands at a name it
// writes, so a link to /dev/full would be replaced, and /dev/full itself,
// under root, removed. Keep the scope short: the limit is the whole
// process's, so a test's own output to a redirected file fails meanwhile.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace upd::testing {

class file_size_limit_t {
 public:
  explicit file_size_limit_t(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    // Past the limit the kernel also sends SIGXFSZ, which would end the test.
    saved_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~file_size_limit_t() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, saved_handler_);
  }
  file_size_limit_t(const file_size_limit_t&) = delete;
  file_size_limit_t& operator=(const file_size_limit_t&) = delete;

 private:
  rlimit saved_;
  sighandler_t saved_handler_;
};

}  // namespace upd::testing
