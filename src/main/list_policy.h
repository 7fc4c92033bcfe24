// Whether this build requires a valid "version.lst.sig" beside every update
// list (CMake option NIMBO_REQUIRE_LIST_SIGNATURE). Without it a zone needs
// one only from the first time it installed a signed list. Defined in a unit
// of its own, so that the tests can link the same program both ways.
#pragma once

namespace upd {

bool list_signature_required_by_build();

}  // namespace upd
