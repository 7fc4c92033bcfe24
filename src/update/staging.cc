#include "update/staging.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/error.h"
#include "common/log.h"
#include "common/safe_file.h"
#include "formats/checksum_cache.h"
#include "formats/lzma_file.h"
#include "formats/quoted_path.h"
#include "http/downloader.h"
#include "http/url.h"
#include "common/version.h"
#include "update/partial_download.h"
#include "update/progress.h"

namespace upd {

namespace fs = boost::filesystem;

namespace {
// Listed names consist of letters, digits, "." and "_" only: with a "-" no
// listed file can be the temporary, nor be overwritten by it.
const char* const unpacking_suffix = "-unpacking";
}  // namespace

std::string make_user_agent(const std::string& installed_applications) {
  return std::string("NimboUpdate-Linux-") + upd_version + " (" + installed_applications + ")";
}

http_headers_t make_request_headers(const nb::UpdateConfig& config) {
  http_headers_t headers;
  headers.add("User-Agent", make_user_agent(config.installed_applications()));
  headers.add("X-Nimbo-SysHash", config.system_hash());
  return headers;
}

std::uint64_t compressed_size_limit(std::uint32_t listed_size) {
  // LZMA can expand incompressible data slightly; the 13-byte header and the
  // range coder's overhead stay far below this margin.
  return std::uint64_t{listed_size} + listed_size / 16 + 65536;
}

void unpack_in_place(const fs::path& staged, std::uint64_t max_size) {
  fs::path unpacked = staged;
  unpacked += unpacking_suffix;
  unpack_lzma_file(staged, unpacked, max_size);
  fs::rename(unpacked, staged);
}

namespace {

// Fetches the URL into its partial file, continuing it when resuming, makes
// that the staged file and checks it; spliced tells whether the body joined
// transfers.
void fetch_and_check(downloader_t& downloader, checker_t& checker, const url_t& url,
                     const zone_t::item_t& item, bool resuming, bool& spliced) {
  const fs::path& staged = item.source;
  const bool compressed = fs::path(url.path()).extension() == compressed_suffix;
  const std::uint64_t limit = compressed ? compressed_size_limit(item.size) : item.size;
  const fs::path partial = partial_path(staged, url);
  if (resuming)
    spliced = fetch_resuming(downloader, url, partial, limit);
  else
    downloader.download(url, partial, limit);
  fs::rename(partial, staged);
  if (compressed) unpack_in_place(staged, item.size);
  if (checker.checksum(staged, links_t::refuse) != item.sha256)
    throw fs::filesystem_error("SHA256", staged, nb::make_error_code(nb::EC_BAD_CHECKSUM));
}

}  // namespace

void download_file(downloader_t& downloader, checker_t& checker, const url_t& url,
                   const zone_t::item_t& item, download_error_t& error) {
  error = {};
  const fs::path& staged = item.source;
  // A staged file is reused only when no link and no other name reaches
  // it: whoever planted a second name could change it after the check.
  if (is_plain_file(staged) && checker.checksum(staged, links_t::refuse) == item.sha256) {
    UPD_LOG(log_debug, "Download: " << staged << ": has already been downloaded");
    return;
  }
  try {
    UPD_LOG(log_debug, "Downloading " << url.to_string());
    bool spliced = false;
    try {
      fetch_and_check(downloader, checker, url, item, true, spliced);
    } catch (const std::exception& e) {
      // A beginning that does not fit the rest (the file changed on the
      // server, or on disk) costs one whole transfer, never a failed file.
      if (!spliced && !downloader.range_refused()) throw;
      UPD_LOG(log_debug, "Download: " << text_from_exception(e) << "; fetching it afresh");
      fetch_and_check(downloader, checker, url, item, false, spliced);
    }
    UPD_LOG(log_notice, "Downloaded " << staged.filename().string() << " ("
                                      << downloader.body_offset() + downloader.bytes_received() << " bytes)");
  } catch (const std::exception& e) {
    error.text = text_from_exception(e);
    UPD_LOG(log_debug, "Download: " << error.text);
    error.code = error_from_exception(&e);
  }
}

namespace {

// Both forms of the file from one server; returns the URL of the last try.
url_t download_from(downloader_t& downloader, checker_t& checker, const std::string& base,
                    const zone_t::item_t& item, download_error_t& error) {
  const std::string name = item.source.filename().string();
  // "timestamp" is small and is only ever published plain.
  if (name != "timestamp") {
    const url_t url(base, name + compressed_suffix);
    download_file(downloader, checker, url, item, error);
    if (!error.code) return url;
  }
  const url_t url(base, name);
  download_file(downloader, checker, url, item, error);
  if (error.code)
    UPD_LOG(log_notice, "Download of " << name << " failed: " << url.to_string() << ": " << error.text);
  return url;
}

}  // namespace

void download_zone(downloader_t& downloader, checker_t& checker, progress_t& progress,
                   zone_t& zone, std::vector<zone_t::item_t>& items) {
  for (const auto& item : zone.check(checker)) {
    const std::string name = item.source.filename().string();
    progress.set_current_file(name);
    download_error_t error;
    url_t last_try;
    // A half-synced mirror may lack a file that the others have; the
    // listed digest judges whichever copy arrives.
    for (const auto& base : zone.file_servers()) {
      last_try = download_from(downloader, checker, base, item, error);
      if (error.code) continue;
      if (base != zone.current_server())
        UPD_LOG(log_notice, name << ": delivered by " << base << " after "
                                 << zone.current_server() << " failed");
      break;
    }
    // The Error line of the failed attempt comes from this exception's
    // text: it names the file and keeps the system's own words.
    if (error.code)
      throw boost::system::system_error(error.code,
                                        quoted_path(item.source) + " from " + last_try.to_string());
    items.push_back(item);
    progress.file_processed(item.size);
  }
}

}  // namespace upd
