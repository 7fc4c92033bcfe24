// Fuzz target: the monitor protocol client configd_t with its frame link,
// fed the input as the byte stream the monitor sends over the socket pair,
// followed by the end of the stream. As in the process, the first USE_CONTEXT
// asks for an installation, so that its answer is expected. Every stream
// must end the event loop with one of the outcomes the process turns into
// its exit status: an nb::ErrorCode (the protocol fault, or the monitor's
// own code), or the empty-callback error of a message out of turn.
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/function/function_base.hpp>
#include <memory>

#include "configd_update_ipc.pb.h"
#include "fuzz_support.h"
#include "ipc/configd.h"

void fuzz_one(std::string_view bytes) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  // The monitor's side: what fits in the socket's buffer (far more than
  // the fuzzer's inputs), then the end of the stream.
  (void)::send(fds[1], bytes.data(), bytes.size(), MSG_DONTWAIT);
  ::shutdown(fds[1], SHUT_WR);

  bool ended_by_error = false;
  {
    boost::asio::io_context service;
    auto configd = std::make_shared<upd::configd_t>();
    configd->start(service, fds[0], [&configd](const nb::UpdateConfig&) {
      nb::UpdateCheckProgress progress;
      progress.set_bytes_to_check(1);
      configd->check_progress_changed(progress);
      configd->install_updates({}, {}, {}, [] {});
    });
    try {
      service.run();
    } catch (const nb::ErrorCode&) {
      ended_by_error = true;
    } catch (const boost::bad_function_call&) {
      ended_by_error = true;
    }
  }
  // A confirmed installation also ends the stream, and the end of the
  // stream is a link error, so every run ends in one of the outcomes above.
  FUZZ_CHECK(ended_by_error);
  ::close(fds[1]);
}
