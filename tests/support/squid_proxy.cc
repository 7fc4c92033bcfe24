#include "support/squid_proxy.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace upd::testing {

namespace fs = boost::filesystem;

namespace {

const char* const helper_dir = "/usr/lib/squid/";

std::string helper(squid_proxy_t::scheme_t scheme) {
  return std::string(helper_dir) +
         (scheme == squid_proxy_t::basic ? "basic_ncsa_auth" : "digest_file_auth");
}

// squid refuses to keep root's rights and drops them to this user, which
// must then own the folder it writes into.
const char* const unprivileged_user = "nobody";

}  // namespace

std::string squid_proxy_t::unavailable_reason() {
  if (find_program("squid").empty()) return "squid is not installed (scripts/setup installs it)";
  for (auto scheme : {basic, digest})
    if (::access(helper(scheme).c_str(), X_OK) != 0)
      return "squid's helper " + helper(scheme) + " is missing";
  if (find_program("htpasswd").empty() && find_program("openssl").empty())
    return "neither htpasswd nor openssl is installed (scripts/setup installs apache2-utils)";
  if (::geteuid() == 0 && !::getpwnam(unprivileged_user))
    return std::string("squid cannot run as root without the user ") + unprivileged_user;
  return {};
}

squid_proxy_t::squid_proxy_t(scheme_t scheme, const std::string& user, const std::string& password)
    : port_(free_port()) {
  static std::atomic<int> counter{0};
  // The service name keeps the shared-memory segments of concurrent squids apart.
  service_name_ = "nimbo" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
  const fs::path dir = dir_.path();
  const std::string d = dir.string();
  const fs::path passwords = dir / "passwords";
  if (scheme == digest) {
    write_file(passwords, user + ":" + password + "\n");
  } else if (!find_program("htpasswd").empty()) {
    if (!run_program({"htpasswd", "-bc", passwords.string(), user, password}, dir / "htpasswd.log"))
      throw std::runtime_error("htpasswd failed: " + read_file(dir / "htpasswd.log"));
  } else {
    const fs::path hash = dir / "hash";
    if (!run_program({"openssl", "passwd", "-apr1", password}, hash))
      throw std::runtime_error("openssl passwd failed");
    std::string text = read_file(hash);
    text.erase(text.find_last_not_of("\r\n") + 1);
    write_file(passwords, user + ":" + text + "\n");
  }

  const char* name = scheme == basic ? "basic" : "digest";
  std::string config = "http_port 127.0.0.1:" + std::to_string(port_) + "\n" +
                       "visible_hostname localhost\n"
                       "pid_filename " +
                       d +
                       "/squid.pid\n"
                       "cache_log " +
                       d +
                       "/cache.log\n"
                       "access_log stdio:" +
                       d +
                       "/access.log\n"
                       "cache_store_log none\n"
                       "coredump_dir " +
                       d +
                       "\n"
                       "cache_mem 0 MB\n"
                       "memory_cache_shared off\n"
                       "shutdown_lifetime 0 seconds\n"
                       "auth_param " +
                       name + " program " + helper(scheme) + " " + passwords.string() +
                       "\n"
                       "auth_param " +
                       name +
                       " children 2\n"
                       "auth_param " +
                       name +
                       " realm nimbo-test\n"
                       "acl authenticated proxy_auth REQUIRED\n"
                       "http_access allow authenticated\n"
                       "http_access deny all\n";
  if (::geteuid() == 0) {
    config += std::string("cache_effective_user ") + unprivileged_user + "\n";
    const passwd* account = ::getpwnam(unprivileged_user);
    for (const auto& entry : fs::recursive_directory_iterator(dir))
      [[maybe_unused]] int ignored =
          ::chown(entry.path().c_str(), account->pw_uid, account->pw_gid);
    [[maybe_unused]] int ignored = ::chown(dir.c_str(), account->pw_uid, account->pw_gid);
  }
  write_file(dir / "squid.conf", config);
  process_ = std::make_unique<child_process_t>(
      std::vector<std::string>{"squid", "-N", "-n", service_name_, "-f", d + "/squid.conf"},
      dir / "squid.out");
  if (!wait_for_port(port_))
    throw std::runtime_error("squid did not start: " + read_file(dir / "cache.log") +
                             read_file(dir / "squid.out"));
}

squid_proxy_t::~squid_proxy_t() {
  // squid takes seconds to shut down politely; its helpers end when their
  // input closes.
  process_->stop(SIGKILL);
  // A squid that died early leaves its shared-memory segments behind.
  for (const char* segment : {"-cf__metadata.shm", "-cf__queues.shm", "-cf__readers.shm"}) {
    boost::system::error_code ignored;
    fs::remove(fs::path("/dev/shm") / (service_name_ + segment), ignored);
  }
}

std::string squid_proxy_t::access_log() const { return read_file(dir_ / "access.log"); }

}  // namespace upd::testing
