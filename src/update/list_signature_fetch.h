// The detached Ed25519 signature beside a zone's update list (see
// formats/list_signature.h), fetched from the server that delivered the
// list. The list's own signature only says that the publisher's legacy key
// signed it; this one adds a modern key and an expiry.
#pragma once

#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "common/zone_item.h"

namespace upd {

class downloader_t;

// An accepted signature file: when it expires, and the file as it came.
struct fetched_list_signature_t {
  std::time_t expires = 0;
  kept_body_t file;
};

// Fetches "version.lst.sig" from the server (the base URL the list came
// from) with the list's downloader and
// checks it against the list's bytes and serial, the zone being updated,
// the built-in keys and the clock. With a kept copy of the file, asks
// whether it changed, and checks the kept bytes the same way on a 304.
// Returns the signature's expiry and file, or nothing when the server has no
// such file (404) and the zone does not require one. Throws
// list_signature_error with the reason the server fails: the file's fault,
// "missing" when required, "too large", or the transfer's failure.
std::optional<fetched_list_signature_t> fetch_list_signature(
    downloader_t& downloader, const std::string& server, std::span<const char> list_bytes,
    const std::string& serial, const std::string& zone, bool required, const kept_body_t* kept = nullptr);

}  // namespace upd
