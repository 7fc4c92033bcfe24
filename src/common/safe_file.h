// Opening and creating files where someone else may have put something at
// the name first. The component runs as root and works in its update
// directory; whatever stands at a name there may be a symbolic link to a
// system file, a second hard link to a file elsewhere (or one its owner can
// still change), a FIFO that blocks whoever opens it, a device or a
// directory. These functions never write through such a name, never follow
// a link where links are refused, and never block on a special file.
//
// Every file the component creates, replaces or reads in the update
// directory goes through here: staged files, partial files of broken
// transfers, unpack temporaries, the checksum cache, the state and lock
// files. Any thread.
#pragma once

#include <sys/types.h>

#include <boost/filesystem/path.hpp>

#include "common/unique_fd.h"

namespace upd {

// Whether a name may lead elsewhere.
enum class links_t {
  // A file of the update directory: a symbolic link at the name fails with
  // ELOOP, a file with a second hard link with EMLINK, since either means
  // someone else chose or can change what is read.
  refuse,
  // A file the system owns elsewhere (a zone's local file, a DRL file),
  // where links are an administrator's choice.
  follow,
};

// Opens an existing regular file read-only. The open does not block (a FIFO
// or device would), and the descriptor is kept only when fstat says it is a
// regular file: a directory fails as reading it would (EISDIR, "read"),
// anything else with EINVAL ("open"). Failures are system errors with errno
// and the context "open", "stat" or "read".
unique_fd_t open_regular_file(const boost::filesystem::path& path, links_t links);

// Opens an existing file of the update directory to write at its end, with
// the refusals of open_regular_file with links_t::refuse (no link, no
// second hard link, nothing but a regular file, no blocking), and gives it
// exactly the mode. Failures are system errors with errno and the context
// "open", "stat", "read" or "fchmod".
unique_fd_t open_to_append(const boost::filesystem::path& path, mode_t mode);

// Opens a log file to append, creating it with the mode (less the umask)
// when nothing is there, with the refusals of open_to_append; an existing
// file keeps its mode. Whoever may write to the log's directory could
// otherwise make root append to any file, or block on a FIFO. Failures are
// system errors with errno and the context "open" or "stat".
unique_fd_t open_log_file(const boost::filesystem::path& path, mode_t mode);

// Opens an existing file of the update directory to read it and to give
// back its disk blocks once read (fallocate needs a descriptor open for
// writing), with the refusals of open_to_append.
unique_fd_t open_to_consume(const boost::filesystem::path& path);

// True when the name itself (not followed) is a regular file with no other
// hard link: a file only this name reaches. False when nothing is there.
bool is_plain_file(const boost::filesystem::path& path);

// Creates a new, empty file at path for writing, with exactly the given
// mode whatever the umask. Whatever stood at the name is unlinked first, so
// it is replaced and never written through; a directory there is refused.
// If anything appears at the name between the unlink and the creation, the
// creation fails rather than use it. Failures are system errors with errno
// and the context "unlink", "open" or "fchmod".
unique_fd_t create_file(const boost::filesystem::path& path, mode_t mode);

// Makes dir a directory that only this user can change: created with mode
// 0700 whatever the umask (its parent must exist), or, when something is
// already there, accepted only if it is a directory (not a link to one)
// owned by the effective user and writable by neither group nor others, and
// otherwise left as it is. Failures are filesystem errors with the path:
// the context "create_directory" when it cannot be made, else the refusal
// ("a symbolic link", ELOOP; "not a directory", ENOTDIR; "not owned by this
// user" or "writable by group or others", EPERM).
void make_private_directory(const boost::filesystem::path& dir);

// Refuses dir when a user other than root and this one could rename it away
// and put another in its place: when a directory above it is writable by
// others and is not a sticky directory of root's (such as /tmp). The failure
// is a filesystem error "ancestor writable by others", EPERM, naming dir and
// that directory; one that cannot be examined fails with its errno.
void check_trusted_ancestors(const boost::filesystem::path& dir);

}  // namespace upd
