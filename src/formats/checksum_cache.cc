#include "formats/checksum_cache.h"

#include <sys/stat.h>

#include <boost/filesystem/exception.hpp>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <cstdint>
#include <map>

#include "common/error.h"
#include "common/fd_io.h"
#include "common/log.h"
#include "formats/file_sha256.h"
#include "formats/quoted_path.h"
#include "formats/whole_file.h"

namespace upd {
namespace {

// Far above any real cache (about a hundred bytes a file), and a bound on
// what a damaged file can make the loader allocate.
constexpr std::size_t max_cache_size = 64 << 20;
constexpr mode_t cache_mode = 0600;

// False when the path does not exist; other failures are thrown.
bool stat_path(const boost::filesystem::path& path, struct stat& status,
               links_t links = links_t::follow) {
  const int result =
      links == links_t::follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  if (result == 0) return true;
  if (errno == ENOENT) return false;
  throw boost::filesystem::filesystem_error(
      "stat", path, boost::system::error_code(errno, boost::system::system_category()));
}

bool matches(const cache_record_t& record, const struct stat& status) {
  return record.dev == status.st_dev && record.ino == status.st_ino &&
         record.ctime == static_cast<std::int32_t>(status.st_ctime);
}

}  // namespace

checker_env_t default_checker_env() {
  return {[] { return std::time(nullptr); }, write_all};
}

checker_t::checker_t(const boost::filesystem::path& update_dir, checker_env_t env)
    : cache_path_(update_dir / cache_name), env_(std::move(env)) {
  load();
}

checker_t::~checker_t() {
  try {
    save();
  } catch (const std::exception& e) {
    UPD_LOG(log_warning, "Cache: " << quoted_path(cache_path_) << ": " << text_from_exception(e));
  } catch (...) {
  }
}

void checker_t::load() {
  try {
    std::string bytes = read_whole_file(cache_path_, max_cache_size, links_t::refuse);
    // Nothing is kept from a file that fails anywhere: half a cache could
    // pair a path with a digest that was never its own.
    records_ = decode_cache(bytes);
    UPD_LOG(log_debug, "Checker: " << records_.size() << " records loaded");
  } catch (const std::exception& e) {
    if (error_from_exception(&e) == boost::system::errc::no_such_file_or_directory)
      UPD_LOG(log_debug, "Checker: no cache");
    else
      UPD_LOG(log_warning,
              "Cache: " << quoted_path(cache_path_) << ": " << text_from_exception(e));
  }
}

void checker_t::save() {
  cache_records_t existing;
  struct stat status;
  for (const auto& [path, record] : records_)
    if (stat_path(path, status)) existing.emplace(path, record);
  replace_file(cache_path_, encode_cache(existing), cache_mode, env_.write);
}

void checker_t::add_paths(const std::vector<boost::filesystem::path>& paths) {
  paths_.insert(paths.begin(), paths.end());
}

void checker_t::check_all(check_counter_t& progress) {
  std::map<boost::filesystem::path, std::uint32_t, path_bytes_less> pending;
  struct stat status;
  for (const auto& path : paths_) {
    boost::this_thread::interruption_point();
    if (!stat_path(path, status)) continue;
    auto record = records_.find(path);
    if (record != records_.end() && matches(record->second, status)) continue;
    pending.emplace(path, static_cast<std::uint32_t>(status.st_size));
  }
  // Progress counts in 32 bits, as the monitor's messages do.
  std::uint32_t total = 0;
  for (const auto& entry : pending) total += entry.second;
  progress.set_check_total(total);
  std::uint32_t done = 0;
  for (const auto& [path, size] : pending) {
    boost::this_thread::interruption_point();
    progress.set_checked(done);
    checksum(path);
    done += size;
  }
  progress.set_checked(done);
}

std::string checker_t::checksum(const boost::filesystem::path& path, links_t links) {
  struct stat status;
  if (!stat_path(path, status, links)) return "";
  auto record = records_.find(path);
  if (record != records_.end()) {
    if (matches(record->second, status)) return record->second.sha256;
    records_.erase(record);
  }
  std::string digest = file_sha256(path, links);
  if (status.st_ctime < env_.now())
    records_[path] = {status.st_dev, status.st_ino, static_cast<std::int32_t>(status.st_ctime),
                      digest};
  return digest;
}

}  // namespace upd
