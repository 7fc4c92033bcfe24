// The program's version text: printed by --version, logged after each
// configuration and sent in the User-Agent header. Exported with C linkage
// so that it can be found in the binary by name.
#pragma once

namespace upd {

extern "C" const char upd_version[];

}  // namespace upd
