// Writing a patch from an older content of a file to its new content: one
// zstd frame with the old content as raw prefix and the new size in its
// header, which clients apply with formats/patch_file.h (and which `zstd -d
// --patch-from=OLD` reads as well). Throws std::runtime_error naming the file
// on failure.
#pragma once

#include <filesystem>
#include <string>

namespace upd::publish {

// The level delta_bench chose, with long-distance matching always on: on
// signature bases that change by a fraction of a percent a day, the long
// matches carry the patch, and the higher levels only cost the publisher
// time (levels 3 to 9 made larger patches, level 9 in four times as long).
inline constexpr int patch_level = 1;

// The patch that makes new_file of old_file.
std::string make_patch(const std::filesystem::path& old_file, const std::filesystem::path& new_file,
                       int level = patch_level);

}  // namespace upd::publish
