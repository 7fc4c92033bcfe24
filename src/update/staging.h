// Fetching a zone's files into its staging directory: compressed form first
// (unless the server's packed-form index says it has none, packed_forms.h),
// then the plain file; every staged file verified against the listed digest
// (see file_try.h). Nothing here touches the zones' local directories: the
// monitor installs.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <string>
#include <vector>

#include "http/http_message.h"
#include "update/file_try.h"
#include "update/zone.h"
#include "update_config.pb.h"

namespace upd {

class checker_t;
class downloader_t;
class progress_t;

// "NimboUpdate-Linux-<version> (<installed applications>)".
std::string make_user_agent(const std::string& installed_applications);
// "User-Agent" and "X-Nimbo-SysHash", sent with every request of an attempt.
http_headers_t make_request_headers(const nb::UpdateConfig& config);
// Throws std::invalid_argument naming the first option that goes into a
// request header (those two, and the proxy user in a Digest answer) but
// holds a control character: a CR LF there would end the header and write
// the rest of the value as headers of its own.
void check_header_values(const nb::UpdateConfig& config);

// Stages every item of the zone's download list, appending each to `items`
// in the list's order. Each file's forms from the current server (the
// compressed one first, the plain one when that fails) come over up to
// `connections` connections at once (transfer_lanes.h), started in the
// list's order, and are unpacked and checked on an unpack_pool_t while the
// next files arrive; whatever fails there, and the other servers, go the
// way below on the update worker, one file at a time.
// A file comes from the zone's current server or, when neither form
// arrives intact from there, from the zone's other servers in turn (a
// Notice names the one that delivered). A file that no server delivers ends
// the attempt with the last try's error, after a Notice line per server with
// its URL and reason; the exception's text names the staged file and the
// last URL.
void download_zone(downloader_t& downloader, std::size_t connections, checker_t& checker, progress_t& progress,
                   zone_t& zone, std::vector<zone_t::item_t>& items);

}  // namespace upd
