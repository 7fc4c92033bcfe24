// Applying a patch: one zstd frame made with an older content of a file as
// its raw prefix (what `zstd --patch-from=OLD NEW` writes), so that a day's
// change to a large base costs a few percent of the base. The patch comes
// from a server and is hostile until the result's digest vouches for it:
// the result is bounded by the size the signed list gives, and memory stays
// small whatever the frame says, since nothing the frame asks for is
// allocated (see apply_patch_file).
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>

namespace upd {

// Writes into destination (created anew, mode 0600, through create_file)
// what the patch at `patch` (a file of the update directory, no link
// followed) makes of the content of old_file (a zone's local file, links
// followed as an administrator set them). The frame must declare exactly
// `size` bytes of content, which is all the room its output gets, its
// window may reach no further than twice the larger of `size` and the old
// file's size, and it must be the patch's only content. The old file is
// read through a read-only mapping (a zone's local files change only when
// the monitor installs, after the run) and the output written through a
// shared mapping of the destination, whose blocks are reserved first: the
// decoder's own memory is a few hundred KiB whatever the sizes.
//
// On failure the destination is removed and a filesystem error thrown:
// EC_DATA_CORRUPTED with the context "patch: " and the reason for a frame
// that is not such a patch, else the system's error with its context (ENOSPC
// when the blocks cannot be reserved). An interruption of the boost thread
// that runs it stops it between two pieces of input.
void apply_patch_file(const boost::filesystem::path& old_file, const boost::filesystem::path& patch,
                      const boost::filesystem::path& destination, std::uint64_t size);

}  // namespace upd
