// The temporary files written beside their destinations (by the monitor's
// installation, by nimbo-publish), named
// ".NAME.nimbo-XXXXXX" (NAME the destination's file name, XXXXXX the six
// letters and digits mkostemp() picks), and the removal of those that a
// crashed or killed writer left behind.
//
// Names in update lists hold only letters, digits, '.' and '_', so no file
// the component installs or a repository serves can take that shape. Runs
// on the caller's thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

namespace upd {

// The template for mkostemp() of a temporary file beside destination.
std::string temporary_template(const boost::filesystem::path& destination);

// Deletes from dir the regular files named like a temporary file of the
// destination name `of`, or of any name when `of` is empty. Symbolic links
// and directories are left alone, and so is anything that cannot be read or
// deleted: a leftover does no harm and the next installation tries again.
void remove_leftover_temporaries(const boost::filesystem::path& dir, const std::string& of = "");

}  // namespace upd
