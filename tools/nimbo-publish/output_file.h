// Files that mirrors serve must never be seen half written, and a publish
// that fails must leave the repository as it was: every new file is written
// under a temporary name in its directory, and all of them are renamed into
// place only once each was written. Failures throw std::runtime_error naming
// the file and the system's reason.
//
// A temporary is named as common/temporary_files.h says and has
// mode 0600 until it is complete, so that a web server serving the folder
// never hands out a half-written file.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

namespace upd::publish {

// New files that replace their namesakes together. The destructor removes
// every temporary not yet renamed, so an exception anywhere before commit()
// leaves no trace. One thread.
class staged_files_t {
 public:
  staged_files_t() = default;
  ~staged_files_t();
  staged_files_t(const staged_files_t&) = delete;
  staged_files_t& operator=(const staged_files_t&) = delete;

  // Calls fill(fd) on a new temporary file beside `path` and flushes it to
  // disk; the file then gets mode 0644 less the umask, as a plain write
  // would.
  void add(const std::filesystem::path& path, const std::function<void(int fd)>& fill);
  void add(const std::filesystem::path& path, std::string_view bytes);
  // As add, but fill returns whether the file is worth keeping; when it is
  // not, the temporary is removed unflushed and add_if returns false.
  bool add_if(const std::filesystem::path& path, const std::function<bool(int fd)>& fill);
  // For writers that create the file by name themselves (a download, an
  // unpacking): write(temporary) makes the file at the temporary name,
  // which it may replace. A file is only taken when it is a regular one
  // reached by no link; it then gets the same mode and flush. When write
  // returns false (there is nothing to stage), the temporary is removed and
  // add_by_name returns false.
  bool add_by_name(const std::filesystem::path& path,
                   const std::function<bool(const std::filesystem::path& temporary)>& write);

  // Removes the file at commit, in its turn among the renames: a form the
  // new files make stale goes with them, and a run that fails before
  // commit() keeps it. A missing file is no error.
  void remove(const std::filesystem::path& path);

  // Renames the files into place (and removes those to remove) in the order
  // they were added, so that a file others point to (a list's data, a
  // signature's list) lands first. A directory in the way is noticed before
  // the first rename.
  void commit();

 private:
  // Creates a new empty temporary beside path, removed unless committed,
  // and returns its open descriptor.
  int reserve(const std::filesystem::path& path);
  // Lets fill write the open temporary, then (when fill keeps it) gives it
  // its mode and flushes it, and closes it; returns what fill returned.
  // Failures name the file it is to become.
  static bool seal(int fd, const std::filesystem::path& name, const std::function<bool(int fd)>& fill);
  struct staged_t {
    std::filesystem::path temporary, path;  // no temporary: path is to be removed
  };
  std::vector<staged_t> files_;
  std::size_t committed_ = 0;
};

// From now on SIGTERM and SIGINT remove the temporaries of every
// staged_files_t before they end the process as they would have.
void remove_temporaries_on_signals();

// One file, staged and committed alone.
void write_atomically(const std::filesystem::path& path, std::string_view bytes);

// A runtime_error "PATH: CONTEXT: strerror(errno)".
[[noreturn]] void fail_with_errno(const std::filesystem::path& path, const char* context);

}  // namespace upd::publish
