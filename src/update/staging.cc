#include "update/staging.h"

#include <boost/system/system_error.hpp>
#include <map>
#include <memory>
#include <stdexcept>

#include "common/error.h"
#include "common/log.h"
#include "common/printable.h"
#include "common/version.h"
#include "formats/quoted_path.h"
#include "update/patch_try.h"
#include "update/progress.h"
#include "update/unpack_pool.h"

namespace upd {

std::string make_user_agent(const std::string& installed_applications) {
  return std::string("NimboUpdate-Linux-") + upd_version + " (" + installed_applications + ")";
}

http_headers_t make_request_headers(const nb::UpdateConfig& config) {
  http_headers_t headers;
  headers.add("User-Agent", make_user_agent(config.installed_applications()));
  headers.add("X-Nimbo-SysHash", config.system_hash());
  return headers;
}

void check_header_values(const nb::UpdateConfig& config) {
  const std::pair<const char*, const std::string&> values[] = {
      {"Monitor.InstalledApplications", config.installed_applications()},
      {"Monitor.SystemHash", config.system_hash()},
      {"Update.ProxyUser", config.proxy().user()},
  };
  for (const auto& [option, value] : values)
    if (has_control_character(value))
      throw std::invalid_argument(std::string("Config option ") + option +
                                  " holds a control character");
}

namespace {

// Why a file's last try failed: its code, and its text for the log lines
// (the HTTP status, the system's own words, the file that failed its check).
struct try_error_t {
  boost::system::error_code code;  // clear on success
  std::string text;

  void set(const std::exception& e) {
    text = text_from_exception(e);
    UPD_LOG(log_debug, "Download: " << text);
    code = error_from_exception(&e);
  }
};

class zone_stager_t {
 public:
  zone_stager_t(downloader_t& downloader, checker_t& checker, progress_t& progress, zone_t& zone)
      : downloader_(downloader), checker_(checker), progress_(progress), zone_(zone),
        patches_(downloader, checker, zone) {}

  void run(std::vector<zone_t::item_t>& items) {
    const auto wanted = zone_.check(checker_);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      progress_.set_current_file(wanted[i].source.filename().string());
      if (start(i, wanted[i])) progress_.file_processed(wanted[i].size);
      take_results(false);
    }
    while (pool_.busy()) take_results(true);
    // Every file is staged here: the first that no server delivered threw.
    items.insert(items.end(), wanted.begin(), wanted.end());
  }

 private:
  // The first try, the patch from the local copy when the server has one:
  // true when it staged the file here and now; false when the patch or the
  // compressed form went to the pool.
  bool start(std::size_t index, const zone_t::item_t& item) {
    const std::string name = item.source.filename().string();
    // "timestamp" is small and is only ever published plain.
    if (name == "timestamp") return stage_from(item, false);
    if (auto patch = patches_.fetch(item)) {
      patch_tries_[index] = patch;
      pool_.submit(index, 0, [patch] { patch->apply(); });
      return false;
    }
    return start_whole(index, item);
  }

  // The first try of the whole file, as start().
  bool start_whole(std::size_t index, const zone_t::item_t& item) {
    auto first = std::make_shared<file_try_t>(zone_.current_server(), item, true);
    std::uint64_t dictionary = 0;
    try {
      if (!first->fetch(downloader_, checker_)) return true;
      dictionary = first->dictionary_size();
    } catch (const std::exception& e) {
      note_failure(e, *first);
      return stage_from(item, true);
    }
    tries_[index] = first;
    pool_.submit(index, dictionary, [first] { first->finish(); });
    return false;
  }

  void take_results(bool wait) {
    for (const auto& result : pool_.take_results(wait)) {
      if (const auto patch = patch_tries_.extract(result.id)) {
        const auto& item = patch.mapped()->item();
        if (patch.mapped()->settle(result.error) || start_whole(result.id, item)) progress_.file_processed(item.size);
        continue;
      }
      const auto attempt = tries_.at(result.id);
      tries_.erase(result.id);
      try {
        attempt->settle(downloader_, result.error);
        attempt->report_success();
      } catch (const std::exception& e) {
        note_failure(e, *attempt);
        progress_.set_current_file(attempt->item().source.filename().string());
        stage_from(attempt->item(), true);
      }
      progress_.file_processed(attempt->item().size);
    }
  }

  // Both forms from each server in turn, on the update worker, but the
  // compressed form from the current server when that was tried already.
  // A half-synced mirror may lack a file that the others have; the listed
  // digest judges whichever copy arrives. Throws when no server delivers.
  bool stage_from(const zone_t::item_t& item, bool compressed_tried) {
    const std::string name = item.source.filename().string();
    url_t last_try;
    for (const auto& base : zone_.file_servers()) {
      const bool skip_compressed = name == "timestamp" || (compressed_tried && base == zone_.current_server());
      if (!skip_compressed && try_form(file_try_t(base, item, true), last_try)) return delivered(base, name);
      if (try_form(file_try_t(base, item, false), last_try)) return delivered(base, name);
      UPD_LOG(log_notice, "Download of " << name << " failed: " << last_try.to_string() << ": " << error_.text);
    }
    fail(item, last_try);
  }

  // A full disk fails every form and server alike, and each further try
  // would only leave another partial file: it ends the downloads at once.
  void note_failure(const std::exception& e, const file_try_t& attempt) {
    error_.set(e);
    if (is_disk_full(error_.code)) fail(attempt.item(), attempt.url());
  }

  // The Error line of the failed attempt comes from this exception's text:
  // it names the file and keeps the system's own words.
  [[noreturn]] void fail(const zone_t::item_t& item, const url_t& url) const {
    throw boost::system::system_error(error_.code, quoted_path(item.source) + " from " + url.to_string());
  }

  // A whole try here; false with error_ set when it failed.
  bool try_form(file_try_t attempt, url_t& last_try) {
    last_try = attempt.url();
    error_ = {};
    try {
      if (!attempt.fetch(downloader_, checker_)) return true;
      std::exception_ptr failure;
      try {
        attempt.finish();
      } catch (...) {
        failure = std::current_exception();
      }
      attempt.settle(downloader_, failure);
      attempt.report_success();
      return true;
    } catch (const std::exception& e) {
      note_failure(e, attempt);
      return false;
    }
  }

  bool delivered(const std::string& base, const std::string& name) const {
    if (base != zone_.current_server())
      UPD_LOG(log_notice, name << ": delivered by " << base << " after " << zone_.current_server() << " failed");
    return true;
  }

  downloader_t& downloader_;
  checker_t& checker_;
  progress_t& progress_;
  zone_t& zone_;
  try_error_t error_;
  std::map<std::size_t, std::shared_ptr<file_try_t>> tries_;
  patch_source_t patches_;
  std::map<std::size_t, std::shared_ptr<patch_try_t>> patch_tries_;
  // Last: its destruction stops the jobs before the tries they use go.
  unpack_pool_t pool_;
};

}  // namespace

void download_zone(downloader_t& downloader, checker_t& checker, progress_t& progress, zone_t& zone,
                   std::vector<zone_t::item_t>& items) {
  zone_stager_t(downloader, checker, progress, zone).run(items);
}

}  // namespace upd
