// Fetching a zone's files into its staging directory: compressed form first,
// then the plain file; every staged file verified against the listed digest.
// Nothing here touches the zones' local directories: the monitor installs.
//
// Bounds against hostile servers: a plain body may not exceed the listed
// size, a compressed body the listed size plus compressed_size_margin(), and
// unpacking stops once its output exceeds the listed size.
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "http/http_message.h"
#include "update/zone.h"
#include "update_config.pb.h"

namespace upd {

class checker_t;
class downloader_t;
class progress_t;
class url_t;

// The suffix of the compressed form of a listed file, tried first.
inline constexpr const char* compressed_suffix = ".lzma";

// "NimboUpdate-Linux-<version> (<installed applications>)".
std::string make_user_agent(const std::string& installed_applications);
// "User-Agent" and "X-Nimbo-SysHash", sent with every request of an attempt.
http_headers_t make_request_headers(const nb::UpdateConfig& config);

// The most a compressed body of a file of the given listed size may take.
std::uint64_t compressed_size_limit(std::uint32_t listed_size);

// Why one try of a file failed: its code, and its text for the log lines
// (the HTTP status, the system's own words, the file that failed its check).
struct download_error_t {
  boost::system::error_code code;  // clear on success
  std::string text;
};

// Fetches one URL into the staged path and verifies it against the item.
// A file already staged is reused when its digest matches and it is a plain
// file (no link, no second hard link); anything else at the name is
// replaced. The body travels through the URL's partial file, resumed
// where a broken transfer left it (see partial_download.h); a joined body
// that fails its check, or a range the server refuses, is fetched once
// more whole. Transfer, unpacking and checksum failures land in `error`;
// only a failure to check an already staged file throws.
void download_file(downloader_t& downloader, checker_t& checker, const url_t& url,
                   const zone_t::item_t& item, download_error_t& error);

// Replaces the staged LZMA file by its unpacked content, unpacked into a
// "<name>-unpacking" sibling first, a name no listed file can have; output
// beyond max_size is a failure, which leaves no sibling behind.
void unpack_in_place(const boost::filesystem::path& staged, std::uint64_t max_size);

// Stages every item of the zone's download list, appending each to `items`.
// A file comes from the zone's current server or, when neither form
// arrives intact from there, from the zone's other servers in turn (a
// Notice names the one that delivered). A file that no server delivers ends
// the attempt with the last try's error, after a Notice line per server with
// its URL and reason; the exception's text names the staged file and the
// last URL.
void download_zone(downloader_t& downloader, checker_t& checker, progress_t& progress,
                   zone_t& zone, std::vector<zone_t::item_t>& items);

}  // namespace upd
