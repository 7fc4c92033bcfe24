#include "update/partial_download.h"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "common/log.h"
#include "http/downloader.h"
#include "http/url.h"

namespace upd {

namespace fs = boost::filesystem;

namespace {
const std::string partial_suffix = "-partial";
}  // namespace

std::string partial_name(const std::string& transferred_name) { return transferred_name + partial_suffix; }

fs::path partial_path(const fs::path& staged, const url_t& url) {
  return staged.parent_path() / partial_name(fs::path(url.path()).filename().string());
}

namespace {

// Every transfer continued here adds to the file from where the last one
// broke off, so each resumption brings new bytes.
bool worth_resuming(const downloader_t& downloader) {
  return downloader.broken_off() && !downloader.range_ignored() &&
         downloader.bytes_received() >= min_resume_progress;
}

}  // namespace

void fetch_resuming(downloader_t& downloader, const url_t& url, const fs::path& partial, std::uint64_t limit) {
  std::exception_ptr failure;
  try {
    downloader.resume(url, partial, limit);
  } catch (...) {
    failure = std::current_exception();
  }
  continue_fetch(downloader, url, partial, limit, failure);
}

void continue_fetch(downloader_t& downloader, const url_t& url, const fs::path& partial, std::uint64_t limit,
                    std::exception_ptr failure) {
  while (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      if (downloader.range_refused()) {
        UPD_LOG(log_debug, "Download: " << text_from_exception(e) << "; fetching it afresh");
        return downloader.download(url, partial, limit);
      }
      if (!worth_resuming(downloader)) throw;
    }
    failure = nullptr;
    try {
      downloader.resume(url, partial, limit);
    } catch (...) {
      failure = std::current_exception();
    }
  }
}

}  // namespace upd
