#include "common/version.h"

namespace upd {

extern "C" const char upd_version[] = "10.0.0.0.1409222330";

}  // namespace upd
