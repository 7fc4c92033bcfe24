#include "main/list_policy.h"

namespace upd {

bool list_signature_required_by_build() { return NIMBO_REQUIRE_LIST_SIGNATURE; }

}  // namespace upd
