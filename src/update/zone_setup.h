// Builds the zones of one attempt from the configuration: BASE, VERSION and
// NBS in that order, each only when installed and enabled. Every zone built
// has fetched its update list (none older than the zone's serial in
// installed_serials, and signed if its last one was or signature_required)
// and sorted its local files. Lists accepted without a detached signature
// are named in one Notice. Each zone starts from the list it kept at its
// last installation and skips the servers that asked to wait (waits, which
// must outlive the zones).
#pragma once

#include <vector>

#include "update/zone.h"
#include "update_config.pb.h"

namespace upd {

class downloader_t;
class server_waits_t;

std::vector<zone_t> setup_zones(downloader_t& downloader, const nb::UpdateConfig& config,
                                const zone_serials_t& installed_serials, bool signature_required,
                                server_waits_t& waits);

}  // namespace upd
