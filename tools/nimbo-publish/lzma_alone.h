// Compresses a file into the ".lzma" (LZMA-alone) format that the updater
// unpacks, with liblzma's lzma_alone_encoder at preset 6. Throws
// std::runtime_error naming the file on failure.
#pragma once

#include <filesystem>

namespace upd::publish {

void compress_lzma_alone(const std::filesystem::path& source, int out_fd, const std::filesystem::path& out_name);

}  // namespace upd::publish
