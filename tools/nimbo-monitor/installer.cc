#include "installer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <span>
#include <stdexcept>
#include <string>

#include "common/error.h"
#include "common/fd_io.h"
#include "common/temporary_files.h"
#include "common/unique_fd.h"

namespace upd::monitor {

namespace fs = boost::filesystem;

namespace {

// A refused or failed step: the code and text of the Error answer.
struct install_failure_t {
  nb::ErrorCode code;
  std::string what;
};

std::string quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

[[noreturn]] void fail_errno(int err, const std::string& action, const fs::path& path) {
  const boost::system::error_code ec(err, boost::system::system_category());
  nb::ErrorCode code = code_from_error(ec);
  if (code == nb::EC_UNEXPECTED_ERROR) code = nb::EC_IO_ERROR;
  throw install_failure_t{code, action + " " + quoted(path) + ": " + ec.message()};
}

[[noreturn]] void refuse(const std::string& text, const std::string& path) {
  throw install_failure_t{nb::EC_INVALID_ARGUMENT, text + " \"" + path + "\""};
}

// The path with empty and "." components dropped; none when it is relative
// or climbs with "..", which could leave the zones.
std::optional<fs::path> clean_absolute(const std::string& text) {
  if (text.empty() || text[0] != '/') return std::nullopt;
  fs::path clean("/");
  std::size_t start = 1;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    clean /= part;
  }
  return clean;
}

bool is_below(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p)
    if (p == path.end() || *p != *r) return false;
  return p != path.end();
}

class scope_checker_t {
 public:
  explicit scope_checker_t(const install_scope_t& scope) {
    if (auto root = clean_absolute(scope.staging_root.string())) staging_root_ = *root;
    for (const auto& file : scope.files)
      if (auto clean = clean_absolute(file.string())) files_.insert(*clean);
    for (const auto& dir : scope.dirs)
      if (auto clean = clean_absolute(dir.string())) dirs_.insert(*clean);
  }

  fs::path source(const std::string& text) const {
    const auto path = clean_absolute(text);
    if (!path || staging_root_.empty() || !is_below(*path, staging_root_))
      refuse("Source outside the update directory:", text);
    // A symbolic link inside the staging tree must not smuggle in a file
    // from elsewhere. A directory that does not exist fails at open().
    boost::system::error_code parent_error, root_error;
    const fs::path real_parent = fs::canonical(path->parent_path(), parent_error);
    const fs::path real_root = fs::canonical(staging_root_, root_error);
    if (!parent_error && !root_error && real_parent != real_root && !is_below(real_parent, real_root))
      refuse("Source outside the update directory:", text);
    return *path;
  }

  fs::path destination(const std::string& text) const {
    const auto path = clean_absolute(text);
    if (!path || !(files_.count(*path) || dirs_.count(path->parent_path())))
      refuse("Destination outside the update zones:", text);
    return *path;
  }

  // Beside a file of the zones only its own temporaries are ours: the
  // directory may hold other programs' files.
  void remove_leftover_temporaries() const {
    for (const auto& dir : dirs_) upd::remove_leftover_temporaries(dir);
    for (const auto& file : files_) upd::remove_leftover_temporaries(file.parent_path(), file.filename().string());
  }

 private:
  fs::path staging_root_;
  std::set<fs::path> files_;
  std::set<fs::path> dirs_;
};

void sync_directory(const fs::path& dir) {
  // Best effort: some file systems refuse fsync on directories.
  unique_fd_t fd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (fd.get() >= 0) ::fsync(fd.get());
}

// One staged file on its way to its destination.
struct placement_t {
  fs::path source;
  fs::path destination;
  std::string sha256;  // what the source must hash to; empty when the request gives none
  fs::path temporary;  // empty until prepared, and again once renamed
};

// Deletes the temporary files that were not committed.
struct temporaries_guard_t {
  std::vector<placement_t>& placements;
  ~temporaries_guard_t() {
    for (const auto& placement : placements)
      if (!placement.temporary.empty()) ::unlink(placement.temporary.c_str());
  }
};

mode_t mode_for(const fs::path& destination) {
  struct stat st;
  // Carried over to new contents, set-user-ID, set-group-ID and sticky bits
  // would lend the old file's powers to whatever the update brought.
  if (::stat(destination.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 0777;
  return 0644;
}

using digest_context_t = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// Returns the SHA-256 of what it copied: the copy is what gets installed,
// whatever happens to the source afterwards.
std::string copy_contents(int from, int to, const fs::path& source, const fs::path& temporary) {
  const digest_context_t context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
  std::vector<char> buffer(1 << 18);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail_errno(errno, "Cannot read", source);
    if (n == 0) break;
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n));
    try {
      write_all(to, buffer.data(), static_cast<std::size_t>(n));
    } catch (const boost::system::system_error& e) {
      fail_errno(e.code().value(), "Cannot write", temporary);
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

void prepare(placement_t& placement) {
  // Found now, a directory in the way cannot fail the commit halfway.
  struct stat existing;
  if (::lstat(placement.destination.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))
    throw install_failure_t{nb::EC_NOT_A_REGULAR_FILE, "Cannot replace " + quoted(placement.destination) + ": " +
                                                           error_text(nb::EC_NOT_A_REGULAR_FILE)};
  const fs::path dir = placement.destination.parent_path();
  boost::system::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) fail_errno(ec.value(), "Cannot create directory", dir);

  // O_NONBLOCK: a FIFO planted at the name must not hang the installation.
  unique_fd_t source{::open(placement.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (source.get() < 0) fail_errno(errno, "Cannot open", placement.source);
  struct stat st;
  if (::fstat(source.get(), &st) != 0) fail_errno(errno, "Cannot open", placement.source);
  if (!S_ISREG(st.st_mode))
    throw install_failure_t{nb::EC_NOT_A_REGULAR_FILE, "Cannot open " + quoted(placement.source) + ": " +
                                                           error_text(nb::EC_NOT_A_REGULAR_FILE)};

  std::string name = temporary_template(placement.destination);
  unique_fd_t temporary{::mkostemp(name.data(), O_CLOEXEC)};
  if (temporary.get() < 0) fail_errno(errno, "Cannot create a file in", dir);
  placement.temporary = name;
  const std::string copied = copy_contents(source.get(), temporary.get(), placement.source, placement.temporary);
  // The staged file was checked when it was fetched; whoever could change
  // it since must not get it installed.
  if (!placement.sha256.empty() && copied != placement.sha256)
    throw install_failure_t{nb::EC_IO_ERROR, "Cannot install " + quoted(placement.source) +
                                                 ": its SHA-256 differs from the request's"};
  if (::fchmod(temporary.get(), mode_for(placement.destination)) != 0)
    fail_errno(errno, "Cannot set the mode of", placement.temporary);
  if (::fsync(temporary.get()) != 0) fail_errno(errno, "Cannot write", placement.temporary);
}

void remove_file(const fs::path& path, install_result_t& result) {
  if (::unlink(path.c_str()) == 0)
    ++result.removed;
  else if (errno != ENOENT)
    fail_errno(errno, "Cannot remove", path);
}

// Flushing the directories makes the renames durable before the next step
// begins, so that a power loss cannot reorder them.
void commit(std::span<placement_t> placements, const rename_step_t& rename, install_result_t& result) {
  std::set<fs::path> touched;
  for (auto& placement : placements) {
    if (rename(placement.temporary.c_str(), placement.destination.c_str()) != 0)
      fail_errno(errno, "Cannot replace", placement.destination);
    placement.temporary.clear();
    touched.insert(placement.destination.parent_path());
    ++result.placed;
  }
  for (const auto& dir : touched) sync_directory(dir);
}

}  // namespace

install_scope_t scope_of(const nb::UpdateConfig& config) {
  install_scope_t scope;
  scope.staging_root = config.update_dir();
  for (const std::string* file :
       {&config.base_drl_path(), &config.core_engine_path(), &config.version_drl_path(), &config.nbs_drl_path()})
    if (!file->empty()) scope.files.emplace_back(*file);
  for (const std::string* dir : {&config.virus_base_dir(), &config.version_dir(), &config.nbs_dir()})
    if (!dir->empty()) scope.dirs.emplace_back(*dir);
  return scope;
}

install_result_t install_updates(const nb::InstallRequest& request, const install_scope_t& scope,
                                 const rename_step_t& rename) {
  install_result_t result;
  std::vector<placement_t> placements;
  temporaries_guard_t guard{placements};
  try {
    const scope_checker_t checker(scope);
    std::set<fs::path> destinations;
    for (const auto& item : request.to_place()) {
      placements.push_back(
          {checker.source(item.source()), checker.destination(item.destination()), item.sha256(), {}});
      destinations.insert(placements.back().destination);
    }
    std::vector<fs::path> removals;
    std::set<fs::path> removal_dirs;
    for (const auto& text : request.to_remove()) {
      removals.push_back(checker.destination(text));
      // Whether the new file survived would depend on the order of the steps.
      if (destinations.count(removals.back())) refuse("Both placed and removed:", text);
      removal_dirs.insert(removals.back().parent_path());
    }

    checker.remove_leftover_temporaries();
    for (auto& placement : placements) prepare(placement);

    // A zone's "timestamp" says which release its files are. Put in place
    // after every other file and removal, it never claims a release that an
    // interrupted installation left incomplete.
    const auto timestamps = std::stable_partition(placements.begin(), placements.end(), [](const placement_t& p) {
      return p.destination.filename() != "timestamp";
    });
    commit({placements.begin(), timestamps}, rename, result);
    for (const auto& path : removals) remove_file(path, result);
    for (const auto& dir : removal_dirs) sync_directory(dir);
    commit({timestamps, placements.end()}, rename, result);

    for (const auto& placement : placements) ::unlink(placement.source.c_str());
  } catch (const install_failure_t& failure) {
    nb::Error error;
    error.set_code(failure.code);
    error.set_what(failure.what);
    result.error = error;
  }
  return result;
}

}  // namespace upd::monitor
