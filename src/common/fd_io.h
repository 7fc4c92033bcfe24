// Whole-buffer descriptor I/O that survives EINTR and short transfers.
// Failures are thrown as system errors with the context "write" or "read".
#pragma once

#include <cstddef>

namespace upd {

// Writes all bytes; a write() that returns 0 throws EC_UNEXPECTED_ERROR.
void write_all(int fd, const void* bytes, std::size_t length);

// Reads exactly length bytes; an early end of file throws
// std::runtime_error("unexpected eof").
void read_all(int fd, void* buffer, std::size_t length);

}  // namespace upd
