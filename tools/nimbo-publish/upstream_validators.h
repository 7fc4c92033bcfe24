// What upstream's answers said about the list and its signature file when
// the mirror last took them (ETag, Last-Modified), kept in the mirror's
// folder as ".nimbo-mirror-validators", so that the next run asks whether
// they changed and an unchanged upstream costs two heads. One line a URL:
// "URL<TAB>ETAG<TAB>LAST-MODIFIED". The file only saves bytes: a 304 gives
// back the mirror's own copy, which is checked as upstream's would be, and
// a missing or damaged file asks unconditionally.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "common/http_validators.h"

namespace upd::publish {

inline constexpr const char* upstream_validators_name = ".nimbo-mirror-validators";

using upstream_validators_t = std::map<std::string, http_validators_t>;  // by URL

upstream_validators_t load_upstream_validators(const std::filesystem::path& out);
std::string format_upstream_validators(const upstream_validators_t& validators);

}  // namespace upd::publish
