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
  if (staged(checker)) return false;
  UPD_LOG(log_debug, "Downloading " << url_.to_string());
  fetch_resuming(downloader, url_, partial(), body_limit());
  take_body(downloader);
  return true;
}

bool file_try_t::staged(checker_t& checker) const {
  if (!is_staged(checker, item_)) return false;
  UPD_LOG(log_debug, "Download: " << item_.source << ": has already been downloaded");
  return true;
}

void file_try_t::begin_fetch(downloader_t& downloader, std::function<void(std::exception_ptr)> done) {
  UPD_LOG(log_debug, "Downloading " << url_.to_string());
  downloader.resume_async(url_, partial(), body_limit(), std::move(done));
}

void file_try_t::continue_fetch(downloader_t& downloader, std::exception_ptr failure) {
  upd::continue_fetch(downloader, url_, partial(), body_limit(), failure);
  take_body(downloader);
}

void file_try_t::take_body(const downloader_t& downloader) {
  spliced_ = downloader.body_offset() > 0;
  body_bytes_ = downloader.body_offset() + downloader.bytes_received();
  fs::rename(partial(), item_.source);
}

fs::path file_try_t::partial() const { return partial_path(item_.source, url_); }

std::uint64_t file_try_t::body_limit() const {
  return compressed_ ? compressed_size_limit(item_.size) : item_.size;
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
  downloader.download(url_, partial(), body_limit());
  take_body(downloader);
  finish();
}

void file_try_t::report_success() const {
  UPD_LOG(log_notice, "Downloaded " << item_.source.filename().string() << " (" << body_bytes_ << " bytes)");
}

}  // namespace upd
