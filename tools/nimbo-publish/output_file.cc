#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fd_io.h"
#include "common/temporary_files.h"

namespace upd::publish {
namespace {

// mkstemp makes files of mode 0600, which a web server run as another user
// could not read. The tool runs one thread, so reading the umask (which
// needs setting it) races with nothing.
mode_t served_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0644 & ~mask;
}

// The temporaries of all staged_files_t, for the signal handler. It is
// changed only while SIGTERM and SIGINT are blocked, so the handler never
// sees it half changed.
std::vector<std::string> live_temporaries;

class signals_blocked_t {
 public:
  signals_blocked_t() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGTERM);
    ::sigaddset(&set, SIGINT);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~signals_blocked_t() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

void forget_temporary(const std::filesystem::path& name) {
  const signals_blocked_t blocked;
  const auto found = std::find(live_temporaries.begin(), live_temporaries.end(), name.string());
  if (found != live_temporaries.end()) live_temporaries.erase(found);
}

// Only async-signal-safe calls: unlink, signal, raise.
extern "C" void remove_temporaries_and_end(int signal_number) {
  for (const std::string& name : live_temporaries) ::unlink(name.c_str());
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void remove_temporaries_on_signals() {
  for (const int signal_number : {SIGTERM, SIGINT}) ::signal(signal_number, remove_temporaries_and_end);
}

void fail_with_errno(const std::filesystem::path& path, const char* context) {
  throw std::runtime_error(path.string() + ": " + context + ": " + std::strerror(errno));
}

staged_files_t::~staged_files_t() {
  for (std::size_t i = committed_; i < files_.size(); ++i)
    if (!files_[i].temporary.empty()) {
      ::unlink(files_[i].temporary.c_str());
      forget_temporary(files_[i].temporary);
    }
}

int staged_files_t::reserve(const std::filesystem::path& path) {
  // A hidden, unique name: a listing or a crashed run's leftover never
  // looks like a file the repository offers, and nothing planted is reused.
  std::string name = temporary_template(path.string());
  const signals_blocked_t blocked;  // a signal now would leave the new file behind
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) fail_with_errno(path, "mkstemp");
  files_.push_back({name, path});
  live_temporaries.push_back(name);
  return fd;
}

void staged_files_t::add(const std::filesystem::path& path,
                         const std::function<void(int fd)>& fill) {
  seal(reserve(path), path, [&](int fd) {
    fill(fd);
    return true;
  });
}

bool staged_files_t::add_if(const std::filesystem::path& path, const std::function<bool(int fd)>& fill) {
  if (seal(reserve(path), path, fill)) return true;
  ::unlink(files_.back().temporary.c_str());
  forget_temporary(files_.back().temporary);
  files_.pop_back();
  return false;
}

void staged_files_t::remove(const std::filesystem::path& path) { files_.push_back({{}, path}); }

bool staged_files_t::add_by_name(const std::filesystem::path& path,
                                 const std::function<bool(const std::filesystem::path& temporary)>& write) {
  ::close(reserve(path));
  const std::filesystem::path name = files_.back().temporary;
  if (!write(name)) {
    ::unlink(name.c_str());
    forget_temporary(name);
    files_.pop_back();
    return false;
  }
  const int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail_with_errno(name, "open");
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
    ::close(fd);
    throw std::runtime_error(name.string() + ": not a plain file of ours");
  }
  seal(fd, path, [](int) { return true; });
  return true;
}

bool staged_files_t::seal(int fd, const std::filesystem::path& name, const std::function<bool(int fd)>& fill) {
  bool keep = false;
  try {
    keep = fill(fd);
    if (keep && ::fchmod(fd, served_file_mode()) != 0) fail_with_errno(name, "fchmod");
    if (keep && ::fsync(fd) != 0) fail_with_errno(name, "fsync");
  } catch (const boost::system::system_error& e) {
    // A write that fails (a full disk) says only "write: REASON".
    ::close(fd);
    throw std::runtime_error(name.string() + ": " + e.what());
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0 && keep) fail_with_errno(name, "close");
  return keep;
}

void staged_files_t::add(const std::filesystem::path& path, std::string_view bytes) {
  add(path, [&](int fd) { write_all(fd, bytes.data(), bytes.size()); });
}

void staged_files_t::commit() {
  struct stat status;
  for (const staged_t& file : files_)
    if (::lstat(file.path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
      throw std::runtime_error(file.path.string() + ": is a directory");
  for (; committed_ < files_.size(); ++committed_) {
    const staged_t& file = files_[committed_];
    if (file.temporary.empty()) {
      if (::unlink(file.path.c_str()) != 0 && errno != ENOENT) fail_with_errno(file.path, "unlink");
    } else if (::rename(file.temporary.c_str(), file.path.c_str()) != 0) {
      fail_with_errno(file.path, "rename");
    } else {
      forget_temporary(file.temporary);
    }
  }
}

void write_atomically(const std::filesystem::path& path, std::string_view bytes) {
  staged_files_t file;
  file.add(path, bytes);
  file.commit();
}

}  // namespace upd::publish
