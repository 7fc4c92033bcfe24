// The detached Ed25519 signature beside a zone's update list (see
// formats/list_signature.h), fetched from the server that delivered the
// list. The list's own signature only says that the publisher's legacy key
// signed it; this one adds a modern key and an expiry.
#pragma once

#include <ctime>
#include <optional>
#include <span>
#include <string>

namespace upd {

class downloader_t;

// Fetches "version.lst.sig" from the server (the base URL the list came
// from) with the list's downloader and
// checks it against the list's bytes and serial, the zone being updated,
// the built-in keys and the clock. Returns the signature's expiry, or nothing when the server has no
// such file (404) and the zone does not require one. Throws
// list_signature_error with the reason the server fails: the file's fault,
// "missing" when required, "too large", or the transfer's failure.
std::optional<std::time_t> fetch_list_signature(downloader_t& downloader, const std::string& server,
                                                std::span<const char> list_bytes,
                                                const std::string& serial, const std::string& zone,
                                                bool required);

}  // namespace upd
