#include "update/file_try.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/error.h"
#include "common/log.h"
#include "common/safe_file.h"
#include "formats/checksum_cache.h"
#include "formats/file_sha256.h"
#include "formats/lzma_file.h"
#include "http/downloader.h"
#include "update/partial_download.h"

namespace upd {

namespace fs = boost::filesystem;

namespace {

// Listed names consist of letters, digits, "." and "_" only: with a "-" no
// listed file can be the temporary, nor be overwritten by it.
const char* const unpacking_suffix = "-unpacking";

void unpack_in_place(const fs::path& staged, std::uint64_t max_size) {
  fs::path unpacked = staged;
  unpacked += unpacking_suffix;
  unpack_lzma_file(staged, unpacked, max_size, source_space_t::release);
  fs::rename(unpacked, staged);
}

}  // namespace

std::uint64_t compressed_size_limit(std::uint32_t listed_size) {
  // LZMA can expand incompressible data slightly; the 13-byte header and the
  // range coder's overhead stay far below this margin.
  return std::uint64_t{listed_size} + listed_size / 16 + 65536;
}

file_try_t::file_try_t(const std::string& server, const zone_t::item_t& item, bool packed)
    : url_(server, item.source.filename().string() + (packed ? compressed_suffix : "")),
      item_(item),
      compressed_(packed) {}

bool is_staged(checker_t& checker, const zone_t::item_t& item) {
  return is_plain_file(item.source) && checker.checksum(item.source, links_t::refuse) == item.sha256;
}

bool file_try_t::fetch(downloader_t& downloader, checker_t& checker) {
  if (is_staged(checker, item_)) {
    UPD_LOG(log_debug, "Download: " << item_.source << ": has already been downloaded");
    return false;
  }
  UPD_LOG(log_debug, "Downloading " << url_.to_string());
  try {
    fetch_body(downloader, true);
  } catch (const std::exception& e) {
    if (!downloader.range_refused()) throw;
    UPD_LOG(log_debug, "Download: " << text_from_exception(e) << "; fetching it afresh");
    fetch_body(downloader, false);
  }
  return true;
}

void file_try_t::fetch_body(downloader_t& downloader, bool resuming) {
  const std::uint64_t limit = compressed_ ? compressed_size_limit(item_.size) : item_.size;
  const fs::path partial = partial_path(item_.source, url_);
  if (resuming)
    spliced_ = fetch_resuming(downloader, url_, partial, limit);
  else
    downloader.download(url_, partial, limit);
  body_bytes_ = downloader.body_offset() + downloader.bytes_received();
  fs::rename(partial, item_.source);
}

void file_try_t::finish() const {
  if (compressed_) unpack_in_place(item_.source, item_.size);
  if (file_sha256(item_.source, links_t::refuse) != item_.sha256)
    throw fs::filesystem_error("SHA256", item_.source, nb::make_error_code(nb::EC_BAD_CHECKSUM));
}

std::uint64_t file_try_t::dictionary_size() const {
  return compressed_ ? lzma_file_dictionary(item_.source, item_.size) : 0;
}

void file_try_t::settle(downloader_t& downloader, std::exception_ptr error) {
  if (!error) return;
  if (!spliced_) std::rethrow_exception(error);
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    UPD_LOG(log_debug, "Download: " << text_from_exception(e) << "; fetching it afresh");
  }
  fetch_body(downloader, false);
  spliced_ = false;
  finish();
}

void file_try_t::report_success() const {
  UPD_LOG(log_notice, "Downloaded " << item_.source.filename().string() << " (" << body_bytes_ << " bytes)");
}

}  // namespace upd
