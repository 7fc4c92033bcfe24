// Replaces a file's content so that a crash, a power loss or a failed write
// leaves either the old content or the new one, never a mixture: the bytes
// go to a temporary file beside it ("<name>.tmp"), which is flushed to disk
// and then renamed over the file. Any thread, one writer per file.
#pragma once

#include <sys/types.h>

#include <boost/filesystem/path.hpp>
#include <cstddef>
#include <functional>
#include <string>

namespace upd {

// Writes all bytes to a descriptor or throws; write_all of common/fd_io.h.
using write_fn_t = std::function<void(int fd, const void* bytes, std::size_t length)>;

// The temporary is made by create_file (common/safe_file.h), and rename
// replaces whatever stands at path itself, so neither name is written
// through. Failures are thrown as system errors with errno and the context
// "unlink", "open", "fchmod", "write", "fsync", "close" or "rename" (or
// whatever write throws); the temporary file is removed first and the old
// file is left as it was.
void replace_file(const boost::filesystem::path& path, const std::string& bytes, mode_t mode,
                  const write_fn_t& write);

}  // namespace upd
