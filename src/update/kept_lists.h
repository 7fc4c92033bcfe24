// The update list each zone last installed, kept in the update directory
// ("nimbo-update.kept-BASE" and so on) with its signature file, the URL
// they came from and their validators, so that the next run can ask that
// URL whether anything changed (If-None-Match, If-Modified-Since) and a
// fleet whose lists did not change receives a few hundred bytes of heads
// instead of every list. A 304 lets the kept bytes stand in for the body:
// they are verified in full as if they had just arrived (the kept file is
// never trusted for itself, since whoever can write it could have chosen
// it), so the kept copy saves bytes and nothing else.
//
// A file holds named fields, each "NAME LENGTH\n" followed by that many
// bytes and "\n", then "end\n": url, list-etag, list-last-modified, list,
// and for a signed list signature-etag, signature-last-modified, signature.
// It is written like the other state files (temporary file, fsync, rename,
// mode 0600, no link followed) and read within the list's bound; a missing
// or damaged one is no kept copy.
#pragma once

#include <boost/filesystem/path.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/zone_item.h"
#include "http/url.h"

namespace upd {

class downloader_t;

boost::filesystem::path kept_list_path(const boost::filesystem::path& update_dir,
                                       const std::string& zone);

std::optional<kept_list_t> load_kept_list(const boost::filesystem::path& update_dir,
                                          const std::string& zone);

// The file's text and back; nothing for a damaged one.
std::string encode_kept_list(const kept_list_t& kept);
std::optional<kept_list_t> decode_kept_list(std::string_view text);

// Keeps the list of each zone that hands one (and removes the copy of a
// zone whose list came without validators); throws the system error of a
// failed write, which leaves that zone's previous copy.
void record_kept_lists(const boost::filesystem::path& update_dir, const zone_serials_t& lists);

// A body fetched into memory, conditionally when a kept copy of it is
// given: a 304 brings the kept bytes back (from_kept), and its own
// validators replace the kept ones where it sends them.
struct fetched_body_t {
  std::vector<char> bytes;
  http_validators_t validators;
  bool from_kept = false;
};
fetched_body_t fetch_body(downloader_t& downloader, const url_t& url, const kept_body_t* kept,
                          std::uint64_t limit);

}  // namespace upd
