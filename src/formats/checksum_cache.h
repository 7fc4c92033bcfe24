// The checksum cache of one update attempt: SHA-256 digests of local files,
// remembered with each file's identity (device, inode, status-change time)
// in "nimbo-update.cache" in the update directory, so that a file is hashed
// again only when its identity changed.
//
// Created on the update directory (loading the stored records; a missing or
// damaged file only costs a clean start), filled by add_paths, brought up to
// date by check_all, asked by checksum, and written back by the destructor
// (never throwing; the old file stays intact when the write fails). Owned by
// the attempt and used on its worker thread only.
#pragma once

#include <boost/filesystem/path.hpp>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/progress_counters.h"
#include "common/safe_file.h"
#include "formats/cache_file.h"
#include "formats/replace_file.h"

namespace upd {

// What the cache takes from the system that tests replace.
struct checker_env_t {
  // Whole seconds; a file whose status changed in the current second may
  // still change within it unnoticed, so it is hashed but not recorded.
  std::function<std::time_t()> now;
  // Writes the encoded cache into the temporary file.
  write_fn_t write;
};

checker_env_t default_checker_env();

class checker_t {
 public:
  static constexpr const char* cache_name = "nimbo-update.cache";

  explicit checker_t(const boost::filesystem::path& update_dir,
                     checker_env_t env = default_checker_env());
  ~checker_t();
  checker_t(const checker_t&) = delete;
  checker_t& operator=(const checker_t&) = delete;

  void add_paths(const std::vector<boost::filesystem::path>& paths);

  // Hashes every registered file whose record does not match, reporting the
  // bytes to hash and done so far. Interruption points of the worker thread
  // lie between files. Status failures other than "not found" are thrown as
  // file-system errors ("stat").
  void check_all(check_counter_t& progress);

  // The file's 32 digest bytes, "" when it does not exist. Throws the
  // file-system error of a failed stat, or EC_IO_ERROR (see file_sha256).
  // With links_t::refuse (files of the update directory) the name itself is
  // examined and hashed, never what a link at it leads to.
  std::string checksum(const boost::filesystem::path& path, links_t links = links_t::follow);

 private:
  void load();
  void save();

  boost::filesystem::path cache_path_;
  checker_env_t env_;
  std::set<boost::filesystem::path, path_bytes_less> paths_;
  cache_records_t records_;
};

}  // namespace upd
