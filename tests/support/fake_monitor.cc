#include "support/fake_monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "ipc/wire.h"

extern char** environ;

namespace upd::testing {

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what, int err = errno) {
  throw std::system_error(err, std::generic_category(), what);
}

enum class read_result { ok, eof, timeout };

// Reads exactly n bytes unless the peer closes first or the deadline passes.
read_result read_exact(int fd, char* out, std::size_t n, clock_type::time_point deadline) {
  std::size_t done = 0;
  while (done < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return read_result::timeout;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno != EINTR) fail("poll");
    if (polled <= 0) continue;
    const ssize_t got = ::read(fd, out + done, n - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) return read_result::eof;
      fail("read");
    }
    if (got == 0) return read_result::eof;
    done += static_cast<std::size_t>(got);
  }
  return read_result::ok;
}

void send_all(int fd, const std::string& bytes) {
  // MSG_NOSIGNAL: a component that has already exited must fail the write,
  // not kill the test.
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      fail("send");
    }
    done += static_cast<std::size_t>(sent);
  }
}

class spawn_actions_t {
 public:
  spawn_actions_t() {
    if (int err = ::posix_spawn_file_actions_init(&actions_))
      fail("posix_spawn_file_actions_init", err);
  }
  ~spawn_actions_t() { ::posix_spawn_file_actions_destroy(&actions_); }
  void open(int fd, const std::string& path, int flags) {
    if (int err = ::posix_spawn_file_actions_addopen(&actions_, fd, path.c_str(), flags, 0600))
      fail("posix_spawn_file_actions_addopen", err);
  }
  void dup2(int from, int to) {
    if (int err = ::posix_spawn_file_actions_adddup2(&actions_, from, to))
      fail("posix_spawn_file_actions_adddup2", err);
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

fake_monitor_t::fake_monitor_t(launch_t launch) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
  socket_ = pair[0];
  int child_end = pair[1];
  // A dup2 onto itself would keep close-on-exec set.
  if (child_end == 3) {
    child_end = ::fcntl(3, F_DUPFD_CLOEXEC, 10);
    ::close(3);
  }

  spawn_actions_t actions;
  actions.open(0, "/dev/null", O_RDONLY);
  actions.open(1, (dir_ / "stdout").string(), O_WRONLY | O_CREAT | O_TRUNC);
  actions.open(2, (dir_ / "stderr").string(), O_WRONLY | O_CREAT | O_TRUNC);
  if (launch.file_at_fd3)
    actions.open(3, launch.file_at_fd3->string(), O_RDONLY);
  else
    actions.dup2(child_end, 3);

  std::vector<std::string> args{launch.program.string()};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, "COM_NIMBO_MONITOR=", 18) != 0) env.emplace_back(*entry);
  if (launch.descriptor_text) env.push_back("COM_NIMBO_MONITOR=" + *launch.descriptor_text);

  auto argv = pointers(args);
  auto envp = pointers(env);
  const int err =
      ::posix_spawn(&pid_, args[0].c_str(), actions.get(), nullptr, argv.data(), envp.data());
  ::close(child_end);
  if (err) fail("posix_spawn", err);
}

fake_monitor_t::~fake_monitor_t() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (socket_ >= 0) ::close(socket_);
}

void fake_monitor_t::send(const nb::Configd2UpdateMessage& message) {
  send_frame(message.SerializeAsString());
}

void fake_monitor_t::send_partial(const nb::Configd2UpdateMessage& message) {
  send_frame(message.SerializePartialAsString());
}

void fake_monitor_t::send_frame(const std::string& body) {
  upd::testing::send_frame(socket_, body);
}

void fake_monitor_t::send_bytes(const std::string& bytes) { send_all(socket_, bytes); }

void fake_monitor_t::close_socket() {
  ::close(socket_);
  socket_ = -1;
}

std::optional<nb::Update2ConfigdMessage> fake_monitor_t::receive(std::chrono::milliseconds bound) {
  if (socket_ < 0) return std::nullopt;
  return receive_message(socket_, bound);
}

std::optional<nb::Update2ConfigdMessage> fake_monitor_t::receive_until(
    nb::Update2ConfigdMessage::MessageTag tag, std::chrono::milliseconds bound) {
  const auto deadline = clock_type::now() + bound;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    auto message = receive(std::max(left, std::chrono::milliseconds(0)));
    if (!message || message->tag() == tag) return message;
    skipped.push_back(std::move(*message));
  }
}

bool fake_monitor_t::wait_for_handler(int signal_number, std::chrono::milliseconds bound) {
  const auto deadline = clock_type::now() + bound;
  const std::uint64_t bit = std::uint64_t{1} << (signal_number - 1);
  const std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
  while (clock_type::now() < deadline) {
    std::ifstream status(status_path);
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("SigCgt:") && (std::stoull(line.substr(7), nullptr, 16) & bit))
        return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void fake_monitor_t::kill(int signal_number) {
  if (::kill(pid_, signal_number) != 0) fail("kill");
}

std::optional<int> fake_monitor_t::wait_exit(std::chrono::milliseconds bound) {
  const auto deadline = clock_type::now() + bound;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done < 0) fail("waitpid");
    if (done == pid_) {
      reaped_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    if (clock_type::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string fake_monitor_t::stdout_text() const { return read_file(dir_ / "stdout"); }
std::string fake_monitor_t::stderr_text() const { return read_file(dir_ / "stderr"); }

void send_frame(int fd, const std::string& body) {
  std::string frame(frame_header_size, '\0');
  encode_frame_length(reinterpret_cast<std::uint8_t*>(frame.data()),
                      static_cast<std::uint32_t>(body.size()));
  send_all(fd, frame + body);
}

std::optional<nb::Update2ConfigdMessage> receive_message(int fd, std::chrono::milliseconds bound) {
  const auto deadline = clock_type::now() + bound;
  std::uint8_t header[frame_header_size];
  if (read_exact(fd, reinterpret_cast<char*>(header), sizeof header, deadline) != read_result::ok)
    return std::nullopt;
  std::string body(decode_frame_length(header), '\0');
  if (read_exact(fd, body.data(), body.size(), deadline) != read_result::ok) return std::nullopt;
  nb::Update2ConfigdMessage message;
  if (!message.ParseFromString(body))
    throw std::runtime_error("the component sent a malformed message");
  return message;
}

nb::Configd2UpdateMessage use_context(const nb::Log& log, const std::string& update_dir) {
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  nb::UpdateConfig& config = *message.mutable_config();
  config.set_log_level(nb::LOG_LEVEL_DEBUG);
  *config.mutable_actual_log() = log;
  config.set_update_dir(update_dir);
  return message;
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
