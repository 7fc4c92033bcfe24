#include "update/patch_try.h"

#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/error.h"
#include "common/log.h"
#include "formats/checksum_cache.h"
#include "formats/file_sha256.h"
#include "formats/patch_file.h"
#include "formats/signature.h"
#include "http/downloader.h"
#include "update/file_try.h"
#include "update/partial_download.h"
#include "update/repository_index_fetch.h"

namespace upd {

namespace fs = boost::filesystem;

namespace {

// "NAME-patch": the fetched patch while it waits for the pool. Listed names
// hold no "-", so no listed file is one.
fs::path working_path(const zone_t::item_t& item) {
  fs::path path = item.source;
  path += "-patch";
  return path;
}

// The Notice of a patch that failed; a full disk goes on.
void fall_back(const zone_t::item_t& item, const std::exception& e) {
  if (is_disk_full(error_from_exception(&e))) throw;
  UPD_LOG(log_notice, "Patch of " << item.source.filename().string() << " failed: "
                                  << text_from_exception(e) << "; fetching the whole file");
}

}  // namespace

patch_try_t::patch_try_t(const zone_t::item_t& item, const url_t& url, std::uint64_t body_bytes)
    : item_(item), url_(url), body_bytes_(body_bytes) {}

void patch_try_t::apply() const {
  const fs::path patch = working_path(item_);
  boost::system::error_code ignored;
  try {
    apply_patch_file(item_.destination, patch, item_.source, item_.size);
  } catch (...) {
    fs::remove(patch, ignored);
    throw;
  }
  fs::remove(patch, ignored);
  if (file_sha256(item_.source, links_t::refuse) != item_.sha256) {
    ::unlink(item_.source.c_str());
    throw fs::filesystem_error("SHA256", item_.source, nb::make_error_code(nb::EC_BAD_CHECKSUM));
  }
}

bool patch_try_t::settle(std::exception_ptr error) const {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    fall_back(item_, e);
    return false;
  }
  UPD_LOG(log_notice, "Downloaded " << item_.source.filename().string() << " by patch ("
                                    << body_bytes_ << " bytes)");
  return true;
}

patch_source_t::patch_source_t(checker_t& checker, const zone_t& zone) : checker_(checker), zone_(zone) {}

const std::optional<patch_index_t>& patch_source_t::index(downloader_t& downloader) {
  if (!std::exchange(index_fetched_, true))
    fetch_repository_index(downloader, zone_, patch_index_name,
                           [&](std::string_view text) { index_.emplace(text, zone_.serial()); });
  return index_;
}

std::shared_ptr<patch_try_t> patch_source_t::fetch(const zone_t::item_t& item, downloader_t& downloader) {
  const std::string old_sha256 = checker_.checksum(item.destination);
  if (old_sha256.empty() || is_staged(checker_, item) || !index(downloader)) return nullptr;
  const std::string name = item.source.filename().string();
  const auto size = index_->patch_size(name, old_sha256);
  if (!size || *size >= item.size) return nullptr;
  const url_t url(zone_.current_server(), patch_file_name(name, bytes_to_hex(old_sha256)));
  const fs::path partial = partial_path(item.source, url);
  UPD_LOG(log_debug, "Downloading " << url.to_string());
  try {
    fetch_resuming(downloader, url, partial, *size);
    fs::rename(partial, working_path(item));
  } catch (const std::exception& e) {
    fall_back(item, e);
    return nullptr;
  }
  return std::make_shared<patch_try_t>(item, url,
                                       downloader.body_offset() + downloader.bytes_received());
}

}  // namespace upd
