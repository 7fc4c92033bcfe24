// Files that mirrors serve must never be seen half written: each is written
// under a temporary name in its directory and renamed into place. Failures
// throw std::runtime_error naming the file and the system's reason.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace upd::publish {

// Calls fill(fd) on a temporary file next to `path`, then renames it there.
void write_atomically(const std::filesystem::path& path, const std::function<void(int fd)>& fill);
void write_atomically(const std::filesystem::path& path, std::string_view bytes);

// A runtime_error "PATH: CONTEXT: strerror(errno)".
[[noreturn]] void fail_with_errno(const std::filesystem::path& path, const char* context);

}  // namespace upd::publish
