#include "update/staging.h"

#include <boost/system/system_error.hpp>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>

#include "common/error.h"
#include "common/log.h"
#include "common/printable.h"
#include "common/version.h"
#include "formats/list_signature.h"
#include "formats/quoted_path.h"
#include "update/packed_forms.h"
#include "update/patch_try.h"
#include "update/progress.h"
#include "update/transfer_lanes.h"
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
  zone_stager_t(downloader_t& downloader, std::size_t connections, checker_t& checker, progress_t& progress,
                zone_t& zone)
      : lanes_(downloader, connections),
        checker_(checker),
        progress_(progress),
        zone_(zone),
        packed_(zone),
        patches_(checker, zone) {}

  // The first tries start in the list's order as lanes come free; a lane
  // takes the unpack pool's results only while it is idle, so that with one
  // lane each file is fetched, handed over and followed up before the next.
  void run(std::vector<zone_t::item_t>& items) {
    const auto wanted = zone_.check(checker_);
    std::size_t next = 0;
    for (;;) {
      for (const auto& ended : lanes_.take_ended()) first_fetched(ended);
      if (downloader_t* lane = lanes_.idle()) {
        take_results(false, *lane);
        if (!refused_.empty() || next < wanted.size()) {
          const std::size_t index = refused_.empty() ? next++ : refused_.front();
          if (!refused_.empty()) refused_.pop_front();
          progress_.set_current_file(wanted[index].source.filename().string());
          start(index, wanted[index], *lane);
          continue;
        }
      }
      if (lanes_.ended()) continue;
      if (lanes_.busy())
        lanes_.run_one();
      else if (pool_.busy())
        take_results(true, *lanes_.idle());
      else
        break;
    }
    // Every file is staged here: the first that no server delivered threw.
    items.insert(items.end(), wanted.begin(), wanted.end());
  }

 private:
  // The first try, the patch from the local copy when the server has one
  // (fetched at once, applied in the pool), else the whole file on the
  // lane; "timestamp", or any file while the server asks to wait, goes the
  // usual way at once.
  void start(std::size_t index, const zone_t::item_t& item, downloader_t& lane) {
    const std::string name = item.source.filename().string();
    // "timestamp" is small and is only ever published plain.
    if (name == "timestamp" || zone_.waiting(zone_.current_server())) {
      stage_from(item, tried_none, lane);
      return progress_.file_processed(item.size);
    }
    if (auto patch = patches_.fetch(item, lane)) {
      patch_tries_[index] = patch;
      pool_.submit(index, 0, [patch] { patch->apply(); });
      return;
    }
    auto first = std::make_shared<file_try_t>(zone_.current_server(), item, packed_.ask_packed(name, lane));
    try {
      if (first->staged(checker_)) return progress_.file_processed(item.size);
      start_try(index, first, lane);
    } catch (const std::exception& e) {
      note_failure(e, *first, zone_.current_server(), lane);
      stage_from(item, tried_packed, lane);
      progress_.file_processed(item.size);
    }
  }

  void start_try(std::size_t index, const std::shared_ptr<file_try_t>& attempt, downloader_t& lane) {
    lanes_.start(lane, index, [attempt](downloader_t& downloader, downloader_t::completion_t done) {
      attempt->begin_fetch(downloader, std::move(done));
    });
    tries_[index] = attempt;
  }

  // A try on a lane has ended: its file goes to the pool or, when the
  // packed form failed, the plain one from the same server is tried on the
  // lane; what fails after that fails over there and then.
  void first_fetched(const transfer_lanes_t::ended_t& ended) {
    const auto attempt = tries_.at(ended.id);
    try {
      attempt->continue_fetch(*ended.lane, ended.failure);
      pool_.submit(ended.id, attempt->dictionary_size(), [attempt] { attempt->finish(); });
    } catch (const std::exception& e) {
      tries_.erase(ended.id);
      if (refused_beside_others(e, *ended.lane)) return refused_.push_back(ended.id);
      note_failure(e, *attempt, zone_.current_server(), *ended.lane);
      const zone_t::item_t& item = attempt->item();
      try {
        if (attempt->packed() && !zone_.waiting(zone_.current_server()))
          return start_try(ended.id, std::make_shared<file_try_t>(zone_.current_server(), item, false), *ended.lane);
      } catch (const std::exception& e) {
        note_failure(e, *attempt, zone_.current_server(), *ended.lane);
      }
      progress_.set_current_file(item.source.filename().string());
      stage_from(item, attempt->packed() ? tried_packed : tried_both, *ended.lane);
      progress_.file_processed(item.size);
    }
  }

  // A server that serves only so many requests of one client at once
  // (nginx's limit_conn, say) refuses the others with 503 or 429 and no
  // Retry-After. The lane that met the refusal closes, and its file starts
  // again on the lanes left; with one lane left, a refusal is a failure
  // like any other.
  bool refused_beside_others(const std::exception& e, downloader_t& lane) {
    const int status = lane.last_status();
    if ((status != 503 && status != 429) || !lane.retry_after().empty() || lanes_.count() < 2) return false;
    lanes_.retire(lane);
    UPD_LOG(log_notice, zone_.name() << ": " << zone_.current_server() << " refused a request beside others ("
                                     << text_from_exception(e) << "); going on with " << lanes_.count()
                                     << " connection(s)");
    return true;
  }

  void take_results(bool wait, downloader_t& lane) {
    for (const auto& result : pool_.take_results(wait)) {
      // A failed patch leaves the whole file to fetch, here and now: the
      // lane is idle, and a patch rarely fails.
      if (const auto patch = patch_tries_.extract(result.id)) {
        const auto& item = patch.mapped()->item();
        if (!patch.mapped()->settle(result.error)) {
          progress_.set_current_file(item.source.filename().string());
          stage_from(item, tried_none, lane);
        }
        progress_.file_processed(item.size);
        continue;
      }
      const auto attempt = tries_.at(result.id);
      tries_.erase(result.id);
      try {
        attempt->settle(lane, result.error);
        attempt->report_success();
      } catch (const std::exception& e) {
        note_failure(e, *attempt, zone_.current_server(), lane);
        progress_.set_current_file(attempt->item().source.filename().string());
        stage_from(attempt->item(), attempt->packed() ? tried_packed : tried_both, lane);
      }
      progress_.file_processed(attempt->item().size);
    }
  }

  // The forms of a file already tried on the zone's current server.
  enum tried_t { tried_none, tried_packed, tried_both };

  // Both forms from each server in turn, on the update worker, but the
  // forms tried on the current server already and a packed form its index
  // says it lacks. A half-synced mirror may
  // lack a file that the others have; the listed digest judges whichever
  // copy arrives. Throws when no server delivers.
  void stage_from(const zone_t::item_t& item, tried_t tried, downloader_t& downloader) {
    const std::string name = item.source.filename().string();
    url_t last_try = tried == tried_both ? file_try_t(zone_.current_server(), item, false).url() : url_t();
    for (const auto& base : zone_.file_servers()) {
      const bool current = base == zone_.current_server();
      const bool skip_compressed =
          name == "timestamp" || (current && (tried != tried_none || !packed_.ask_packed(name, downloader)));
      const bool skip_plain = current && tried == tried_both;
      if (!skip_compressed && try_form(file_try_t(base, item, true), base, last_try, downloader))
        return delivered(base, name);
      // The packed form's answer may have asked this server to be left alone.
      if (!skip_plain && !zone_.waiting(base) && try_form(file_try_t(base, item, false), base, last_try, downloader))
        return delivered(base, name);
      UPD_LOG(log_notice, "Download of " << name << " failed: " << last_try.to_string() << ": " << error_.text);
    }
    if (const auto first = zone_.every_server_waits())
      throw boost::system::system_error(nb::EC_NO_UPDATE_SERVERS, quoted_path(item.source) +
                                                                     ": every server asked to wait, the first until " +
                                                                     format_utc_time(*first));
    fail(item, last_try);
  }

  // A full disk fails every form and server alike, and each further try
  // would only leave another partial file: it ends the downloads at once.
  // A server that asks to wait (in the answer the downloader last had) is
  // left alone for the other files too.
  void note_failure(const std::exception& e, const file_try_t& attempt, const std::string& server,
                    const downloader_t& downloader) {
    error_.set(e);
    if (is_disk_full(error_.code)) fail(attempt.item(), attempt.url());
    if (zone_.waiting(server)) return;  // the answer that asked was noted already
    if (const auto until = zone_.note_wait(server, downloader))
      UPD_LOG(log_warning, zone_.name() << ": " << server << ": asked to wait until " << format_utc_time(*until)
                                        << ": " << error_.text);
  }

  // The Error line of the failed attempt comes from this exception's text:
  // it names the file and keeps the system's own words.
  [[noreturn]] void fail(const zone_t::item_t& item, const url_t& url) const {
    throw boost::system::system_error(error_.code, quoted_path(item.source) + " from " + url.to_string());
  }

  // A whole try here; false with error_ set when it failed.
  bool try_form(file_try_t attempt, const std::string& server, url_t& last_try, downloader_t& downloader) {
    last_try = attempt.url();
    error_ = {};
    try {
      if (!attempt.fetch(downloader, checker_)) return true;
      std::exception_ptr failure;
      try {
        attempt.finish();
      } catch (...) {
        failure = std::current_exception();
      }
      attempt.settle(downloader, failure);
      attempt.report_success();
      return true;
    } catch (const std::exception& e) {
      note_failure(e, attempt, server, downloader);
      return false;
    }
  }

  void delivered(const std::string& base, const std::string& name) const {
    if (base != zone_.current_server())
      UPD_LOG(log_notice, name << ": delivered by " << base << " after " << zone_.current_server() << " failed");
  }

  transfer_lanes_t lanes_;
  checker_t& checker_;
  progress_t& progress_;
  zone_t& zone_;
  try_error_t error_;
  std::map<std::size_t, std::shared_ptr<file_try_t>> tries_;
  std::deque<std::size_t> refused_;  // files to start again, refused beside other requests
  packed_forms_t packed_;
  patch_source_t patches_;
  std::map<std::size_t, std::shared_ptr<patch_try_t>> patch_tries_;
  // Last: its destruction stops the jobs before the tries they use go.
  unpack_pool_t pool_;
};

}  // namespace

void download_zone(downloader_t& downloader, std::size_t connections, checker_t& checker, progress_t& progress,
                   zone_t& zone, std::vector<zone_t::item_t>& items) {
  zone_stager_t(downloader, connections, checker, progress, zone).run(items);
}

}  // namespace upd
