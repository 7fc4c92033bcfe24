#include "support/fake_monitor.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/fd_io.h"
#include "ipc/wire.h"
#include "support/child_process.h"

namespace upd::testing {

namespace {

using clock_type = std::chrono::steady_clock;

std::chrono::milliseconds left(clock_type::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()),
                  std::chrono::milliseconds(0));
}

// Polls every millisecond until done() holds or the bound passes.
template <class Done>
bool poll_until(std::chrono::milliseconds bound, Done done) {
  for (const auto deadline = clock_type::now() + bound; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (clock_type::now() >= deadline) return false;
  return true;
}

}  // namespace

fake_monitor_t::fake_monitor_t(launch_t launch) {
  // A component that has already exited must fail a write, not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::system_error(errno, std::generic_category(), "socketpair");
  socket_ = pair[0];
  spawn_t how{{launch.program.string()}, dir_ / "stdout", dir_ / "stderr", {}, pair[1]};
  how.argv.insert(how.argv.end(), launch.args.begin(), launch.args.end());
  for (char** entry = environ; *entry; ++entry)
    if (!std::string_view(*entry).starts_with("COM_NIMBO_MONITOR=")) how.env.emplace_back(*entry);
  if (launch.descriptor_text) how.env.push_back("COM_NIMBO_MONITOR=" + *launch.descriptor_text);
  pid_ = spawn(how);
  ::close(pair[1]);
}

fake_monitor_t::~fake_monitor_t() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (socket_ >= 0) ::close(socket_);
}

void fake_monitor_t::send(const nb::Configd2UpdateMessage& message) { send_frame(message.SerializeAsString()); }

void fake_monitor_t::send_frame(const std::string& body) {
  std::string frame(frame_header_size, '\0');
  encode_frame_length(reinterpret_cast<std::uint8_t*>(frame.data()), static_cast<std::uint32_t>(body.size()));
  send_bytes(frame + body);
}

void fake_monitor_t::send_bytes(const std::string& bytes) { write_all(socket_, bytes.data(), bytes.size()); }

void fake_monitor_t::close_socket() { ::close(std::exchange(socket_, -1)); }

std::optional<nb::Update2ConfigdMessage> fake_monitor_t::receive(std::chrono::milliseconds bound) {
  return socket_ < 0 ? std::nullopt : receive_message(socket_, bound);
}

std::optional<nb::Update2ConfigdMessage> fake_monitor_t::receive_until(nb::Update2ConfigdMessage::MessageTag tag,
                                                                       std::chrono::milliseconds bound) {
  const auto deadline = clock_type::now() + bound;
  while (true) {
    auto message = receive(left(deadline));
    if (!message || message->tag() == tag) return message;
    skipped.push_back(std::move(*message));
  }
}

bool fake_monitor_t::wait_for_handler(int signal_number, std::chrono::milliseconds bound) {
  const std::uint64_t bit = std::uint64_t{1} << (signal_number - 1);
  const std::string proc = "/proc/" + std::to_string(pid_);
  return poll_until(bound, [&] {
    std::ifstream status(proc + "/status");
    bool caught = false;
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("SigCgt:")) caught = (std::stoull(line.substr(7), nullptr, 16) & bit) != 0;
    // Also idle in its event loop, where the kernel shows it: under
    // ThreadSanitizer a signal sent while the thread ran was seen to go
    // unanswered now and again.
    std::string wchan;
    std::getline(std::ifstream(proc + "/wchan"), wchan);
    return caught && (wchan == "do_epoll_wait" || wchan.empty() || wchan == "0");
  });
}

std::optional<int> fake_monitor_t::wait_exit(std::chrono::milliseconds bound) {
  int status = 0;
  if (!reaped_ && !poll_until(bound, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return std::nullopt;
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string fake_monitor_t::stderr_text() const { return read_file(dir_ / "stderr"); }

std::optional<nb::Update2ConfigdMessage> receive_message(int fd, std::chrono::milliseconds bound) {
  // Only the first byte is awaited with the bound: the rest of a frame follows
  // it, or the end of file when the component dies half-way.
  pollfd ready{fd, POLLIN, 0};
  std::uint8_t header[frame_header_size];
  std::string body;
  try {
    if (::poll(&ready, 1, static_cast<int>(bound.count())) != 1) return std::nullopt;
    read_all(fd, header, sizeof header);
    body.resize(decode_frame_length(header));
    read_all(fd, body.data(), body.size());
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
  nb::Update2ConfigdMessage message;
  if (!message.ParseFromString(body)) throw std::runtime_error("the component sent a malformed message");
  return message;
}

nb::Configd2UpdateMessage context_of(const nb::UpdateConfig& config) {
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  *message.mutable_config() = config;
  return message;
}

nb::Configd2UpdateMessage use_context(const nb::Log& log, const std::string& update_dir) {
  nb::UpdateConfig config;
  config.set_log_level(nb::LOG_LEVEL_DEBUG);
  *config.mutable_actual_log() = log;
  config.set_update_dir(update_dir);
  return context_of(config);
}

nb::Log file_log(const boost::filesystem::path& path) {
  nb::Log log;
  log.set_type(nb::Log::FILE);
  log.set_path(path.string());
  return log;
}

nb::Log stderr_log() {
  nb::Log log;
  log.set_type(nb::Log::STDERR);
  return log;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace upd::testing
