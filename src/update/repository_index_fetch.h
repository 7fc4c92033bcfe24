// The optional indexes beside a zone's list (formats/repository_index.h)
// come from its current server once per attempt, on first need. Each only
// makes the attempt cheaper, so an index that cannot be had is no failure:
// the attempt goes on as with a repository that has none.
#pragma once

#include <functional>
#include <string_view>

#include "update/zone.h"

namespace upd {

class downloader_t;

// Fetches the index `name` with the downloader, an idle one, and hands its
// bytes to `parse`, which throws std::invalid_argument when they are no
// index for the zone's list. An index that cannot be had is left at that: a
// 404 (a repository without one) is logged at Debug, any other failure as a
// Notice with the reason.
void fetch_repository_index(downloader_t& downloader, const zone_t& zone, const char* name,
                            const std::function<void(std::string_view)>& parse);

}  // namespace upd
