// Writing a patch from an older content of a file to its new content: one
// zstd frame with the old content as raw prefix and the new size in its
// header, which clients apply with formats/patch_file.h (and which `zstd -d
// --patch-from=OLD` reads as well). Throws std::runtime_error naming the file
// on failure.
#pragma once

#include <filesystem>
#include <string>

namespace upd::publish {

// The level and long-distance matching delta_bench chose: on signature
// bases that change by a fraction of a percent a day, long-distance
// matching finds the unchanged runs across the whole window, and a higher
// level gains little more than time.
inline constexpr int patch_level = 9;

// The patch that makes new_file of old_file.
std::string make_patch(const std::filesystem::path& old_file, const std::filesystem::path& new_file,
                       int level = patch_level);

}  // namespace upd::publish
