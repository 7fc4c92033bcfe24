// Patches in front of the whole download: when the zone's current server
// offers a patch from a changed file's local content to the listed one
// (formats/patch_index.h), that patch is fetched instead of the file and
// applied in the unpack pool. The patch is only a cheaper way to the same
// result: whatever goes wrong with it (no index, no patch, a broken
// transfer, a bad frame, a wrong digest) is a Notice naming the file and the
// reason, and the file then takes the usual way (file_try.h). Only a full
// disk, which would fail that way as well, ends the attempt.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include "formats/patch_index.h"
#include "http/url.h"
#include "update/zone.h"

namespace upd {

class checker_t;
class downloader_t;

// One fetched patch for one file.
class patch_try_t {
 public:
  patch_try_t(const zone_t::item_t& item, const url_t& url, std::uint64_t body_bytes);

  const zone_t::item_t& item() const { return item_; }
  // Any thread: makes the staged file from the local one and the patch,
  // checks it against the listed digest and removes the patch; throws why
  // it failed, leaving no staged file.
  void apply() const;
  // Update worker, after apply() ended with error (null on success): true
  // with the Notice "Downloaded NAME by patch (N bytes)", else false after
  // the Notice saying why.
  bool settle(std::exception_ptr error) const;

 private:
  zone_t::item_t item_;
  url_t url_;
  std::uint64_t body_bytes_;
};

// The patches one zone's current server offers. Update worker only.
class patch_source_t {
 public:
  patch_source_t(checker_t& checker, const zone_t& zone);

  // Fetches the item's patch into the staging directory with the
  // downloader, an idle one, and returns its try; null when there is none
  // to try (no local copy, the staged file is already right, the server
  // offers none or the fetch failed).
  std::shared_ptr<patch_try_t> fetch(const zone_t::item_t& item, downloader_t& downloader);

 private:
  // Fetched from the current server on first use.
  const std::optional<patch_index_t>& index(downloader_t& downloader);

  checker_t& checker_;
  const zone_t& zone_;
  bool index_fetched_ = false;
  std::optional<patch_index_t> index_;
};

}  // namespace upd
