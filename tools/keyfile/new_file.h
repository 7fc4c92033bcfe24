// Key files are created, never replaced: a second run of a key tool must not
// destroy the only copy of a private key, and a link planted at the name must
// not redirect it into another file.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace upd {

// Writes the bytes into a new file of exactly this mode, whatever the umask.
// Throws std::runtime_error "PATH: REASON" when the name exists (even as a
// dangling link) or the write fails; a partly written file is removed.
void write_new_file(const std::string& path, std::string_view bytes, mode_t mode);

}  // namespace upd
