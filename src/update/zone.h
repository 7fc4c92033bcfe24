// One update zone: its servers (from its DRL file), its parsed update list,
// its local files sorted against that list, and its staging directory.
//
// A zone is built and filled by setup_zones() at the start of an attempt;
// afterwards only check() changes it. Zones are plain values owned by the
// attempt and used on the worker thread only.
#pragma once

#include <boost/filesystem/path.hpp>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/lst_file.h"
#include "common/zone_item.h"

namespace upd {

class checker_t;
class downloader_t;
class server_waits_t;
class url_t;

class zone_t {
 public:
  using item_t = zone_item_t;

  // Loads and verifies the DRL file; throws EC_BAD_DRL_FILE.
  zone_t(std::string name, const boost::filesystem::path& drl_path);

  // Fetches "version.lst" from the servers in their shuffled order until one
  // delivers a valid list no older than the serial last installed (empty:
  // none) and with a serial of at most max_serial_digits, with a valid
  // "version.lst.sig" for this zone if it has one or the installed list was
  // signed; that server stays current. Each server passed over is
  // logged with its reason at Warning. When none delivers, logs one Error
  // line naming the zone and the servers tried with their reasons, and
  // throws EC_NO_UPDATE_SERVERS.
  //
  // The server whose list was kept is asked whether it changed (see
  // kept_lists.h); a server that asked to wait is skipped, and one that
  // asks now is remembered (see server_waits.h). When every server waits,
  // the Error line names the first time one may be asked, and so does the
  // record of waits.
  void download_list(downloader_t& downloader, const installed_list_t& installed);
  // Before download_list: the list kept from the last installation, and
  // the servers' waits, which must outlive the zone.
  void set_list_history(std::optional<kept_list_t> kept, server_waits_t* waits);
  // The accepted list as it came, to be kept once installed.
  const std::shared_ptr<const kept_list_t>& accepted_list() const { return accepted_; }
  // When the server asked to be left alone until; nothing when it did not.
  std::optional<std::time_t> waiting(const std::string& server) const;
  // After a failed transfer from the server: a 429 or 503 with a usable
  // Retry-After is remembered and its end returned.
  std::optional<std::time_t> note_wait(const std::string& server, const downloader_t& downloader);
  // When every server left to the zone waits: the first time one may be
  // asked again, which the record of waits keeps for the zone too.
  std::optional<std::time_t> every_server_waits();

  void add_excluded(const std::vector<std::string>& patterns);
  // A file the zone cannot work without (its DRL file, the engine): a list
  // may replace it but no removal pattern deletes it. Before add_local_*.
  void add_protected_file(const boost::filesystem::path& path);
  // Sorts one local file: listed, to be removed, or skipped.
  void add_local_file(const boost::filesystem::path& path);
  // Sorts every regular file of the directory (not its sub-directories).
  void add_local_dir(const boost::filesystem::path& dir);
  // Creates the staging directory (not its parents) with mode 0700, or
  // accepts an existing one that is a directory of the running user alone
  // and not a link (make_private_directory); otherwise logs "UpdateDir creation: "
  // and throws EC_BAD_CONFIG.
  void set_update_dir(const boost::filesystem::path& dir);

  const std::string& name() const { return name_; }
  const std::string& current_server() const { return servers_.back(); }
  // The current server, then those not yet tried for the list, in their
  // shuffled order: where a file is looked for. Servers that failed the
  // list, and those that asked to wait, are left out.
  std::vector<std::string> file_servers() const;
  const std::string& serial() const { return list_.serial(); }
  // Whether the list came with a valid detached signature.
  bool list_signed() const { return list_expires_.has_value(); }
  // When the accepted list's signature expires; 0 for an unsigned list.
  std::int64_t list_expires() const { return list_expires_.value_or(0); }
  const path_set_t& removal_set() const { return removal_set_; }
  const boost::filesystem::path& staging_dir() const { return staging_dir_; }

  bool is_excluded(const std::string& name) const;
  // The listed local files, in name order: what the checksum pass hashes.
  std::vector<boost::filesystem::path> local_paths() const;
  // The files to fetch, "timestamp" first; computed and logged once.
  std::vector<item_t> check(checker_t& checker);
  // The listed local files that need no download.
  path_set_t up_to_date_set() const;

 private:
  // Whether the list just fetched from the current server passes the
  // detached signature check; logs why not.
  bool accept_signature(downloader_t& downloader, const std::vector<char>& list_bytes,
                        const std::string& serial, bool required, const kept_body_t* kept);
  // One server's try; false when it was passed over.
  bool try_list(downloader_t& downloader, const url_t& url, const installed_list_t& installed);
  [[noreturn]] void fail_every_server_waits(std::time_t first) const;
  bool is_protected(const boost::filesystem::path& path) const;
  // Logs why the server at url fails the list, and keeps it.
  void pass_over(const std::string& url, const std::string& reason);
  std::string servers_tried() const;

  std::string name_;
  std::vector<std::string> servers_;  // the last one is in use
  // "URL: reason" of each server that failed the list.
  std::vector<std::string> passed_over_;
  std::vector<std::string> excluded_;
  std::vector<boost::filesystem::path> protected_files_;
  lst_file_t list_;
  std::optional<std::time_t> list_expires_;
  std::optional<kept_list_t> kept_;
  std::shared_ptr<const kept_list_t> accepted_;
  std::optional<kept_body_t> accepted_signature_;
  server_waits_t* waits_ = nullptr;
  boost::filesystem::path target_dir_;
  boost::filesystem::path staging_dir_;
  std::map<std::string, boost::filesystem::path> listed_local_files_;  // by name
  path_set_t removal_set_;
  std::vector<item_t> download_list_;
  bool check_done_ = false;
};

}  // namespace upd
