// A path as log lines write it: between double quotes, with each double
// quote or ampersand inside preceded by an ampersand. Any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

namespace upd {

std::string quoted_path(const boost::filesystem::path& path);

}  // namespace upd
