#include "common/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>

namespace upd {

namespace {

const std::string mark = ".nimbo-";
constexpr std::size_t random_length = 6;  // mkostemp() replaces exactly six X

bool is_random_character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The destination name a temporary file's name was made for, or none.
std::optional<std::string> destination_name(const std::string& name) {
  if (name.size() < 2 + mark.size() + random_length || name[0] != '.') return std::nullopt;
  const std::size_t random_at = name.size() - random_length;
  const std::size_t mark_at = random_at - mark.size();
  if (name.compare(mark_at, mark.size(), mark) != 0 ||
      !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(random_at), name.end(), is_random_character))
    return std::nullopt;
  return name.substr(1, mark_at - 1);
}

}  // namespace

std::string temporary_template(const boost::filesystem::path& destination) {
  const std::string name = "." + destination.filename().string() + mark + std::string(random_length, 'X');
  return (destination.parent_path() / name).string();
}

void remove_leftover_temporaries(const boost::filesystem::path& dir, const std::string& of) {
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
  if (!listing) return;
  const int dir_fd = ::dirfd(listing.get());
  while (const dirent* entry = ::readdir(listing.get())) {
    const auto destination = destination_name(entry->d_name);
    if (!destination || (!of.empty() && *destination != of)) continue;
    struct stat st;
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      ::unlinkat(dir_fd, entry->d_name, 0);
  }
}

}  // namespace upd
