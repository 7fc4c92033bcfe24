#include "support/squid_proxy.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace upd::testing {

namespace fs = boost::filesystem;

namespace {

std::string helper(squid_proxy_t::scheme_t scheme) {
  return scheme == squid_proxy_t::basic ? "/usr/lib/squid/basic_ncsa_auth" : "/usr/lib/squid/digest_file_auth";
}

// squid refuses to keep root's rights and drops them to this user, which
// must then own the folder it writes into.
const char* const unprivileged_user = "nobody";

}  // namespace

std::string squid_proxy_t::unavailable_reason() {
  if (find_program("squid").empty()) return "squid is not installed (scripts/setup installs it)";
  if (find_program("htpasswd").empty()) return "htpasswd is not installed (scripts/setup installs apache2-utils)";
  for (auto scheme : {basic, digest})
    if (::access(helper(scheme).c_str(), X_OK) != 0) return "squid's helper " + helper(scheme) + " is missing";
  if (::geteuid() == 0 && !::getpwnam(unprivileged_user))
    return std::string("squid cannot run as root without the user ") + unprivileged_user;
  return {};
}

squid_proxy_t::squid_proxy_t(scheme_t scheme, const std::string& user, const std::string& password)
    : port_(free_port()) {
  static std::atomic<int> counter{0};
  // The service name keeps the shared-memory segments of concurrent squids apart.
  service_name_ = "nimbo" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
  const std::string d = dir_.path().string(), passwords = d + "/passwords";
  if (scheme == digest)
    write_file(passwords, user + ":" + password + "\n");
  else if (!run_program({"htpasswd", "-bc", passwords, user, password}, dir_ / "htpasswd.log"))
    throw std::runtime_error("htpasswd failed: " + read_file(dir_ / "htpasswd.log"));
  const std::string auth = std::string("auth_param ") + (scheme == basic ? "basic" : "digest");
  std::string config = "http_port 127.0.0.1:" + std::to_string(port_) + "\nvisible_hostname localhost\npid_filename " +
                       d + "/squid.pid\ncache_log " + d + "/cache.log\naccess_log stdio:" + d +
                       "/access.log\ncache_store_log none\ncoredump_dir " + d +
                       "\ncache_mem 0 MB\nmemory_cache_shared off\nshutdown_lifetime 0 seconds\n" + auth + " program " +
                       helper(scheme) + " " + passwords + "\n" + auth + " children 2\n" + auth +
                       " realm nimbo-test\nacl authenticated proxy_auth REQUIRED\n"
                       "http_access allow authenticated\nhttp_access deny all\n";
  if (::geteuid() == 0) {
    config += std::string("cache_effective_user ") + unprivileged_user + "\n";
    const passwd* account = ::getpwnam(unprivileged_user);
    for (const fs::path& path : {dir_.path(), fs::path(passwords)})
      [[maybe_unused]] int ignored = ::chown(path.c_str(), account->pw_uid, account->pw_gid);
  }
  write_file(dir_ / "squid.conf", config);
  process_ = std::make_unique<child_process_t>(
      std::vector<std::string>{"squid", "-N", "-n", service_name_, "-f", d + "/squid.conf"}, dir_ / "squid.out");
  if (!wait_for_port(port_))
    throw std::runtime_error("squid did not start: " + read_file(dir_ / "cache.log") + read_file(dir_ / "squid.out"));
}

squid_proxy_t::~squid_proxy_t() {
  // squid takes seconds to shut down politely; its helpers end when their input closes.
  process_->stop(SIGKILL);
  // A squid that died early leaves its shared-memory segments behind.
  for (const char* segment : {"-cf__metadata.shm", "-cf__queues.shm", "-cf__readers.shm"}) {
    boost::system::error_code ignored;
    fs::remove(fs::path("/dev/shm") / (service_name_ + segment), ignored);
  }
}

std::string squid_proxy_t::access_log() const { return read_file(dir_ / "access.log"); }

}  // namespace upd::testing
