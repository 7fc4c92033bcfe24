#include "update/partial_download.h"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

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

bool worth_resuming(const downloader_t& downloader) {
  // Every transfer continued here adds to the file from where the last
  // one broke off, so each resumption brings new bytes.
  return downloader.broken_off() && !downloader.range_ignored() &&
         downloader.bytes_received() >= min_resume_progress;
}

bool fetch_resuming(downloader_t& downloader, const url_t& url, const fs::path& partial, std::uint64_t limit) {
  for (;;) {
    try {
      downloader.resume(url, partial, limit);
      return downloader.body_offset() > 0;
    } catch (const boost::system::system_error&) {
      if (!worth_resuming(downloader)) throw;
    }
  }
}

}  // namespace upd
