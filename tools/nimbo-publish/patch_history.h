// Patches for "nimbo-publish list --history DIR": the publisher keeps the
// last contents of every listed file in DIR (private, never served), and
// each publication offers clients that hold one of them a patch to the new
// content instead of the whole file (formats/patch_index.h).
//
// DIR/NAME/ holds each kept content under its SHA-256 in hexadecimal and
// "contents", their digests newest first. A changed file gets a patch from
// each kept older content when it is smaller than half the packed form; an
// unchanged one keeps the patches OUT holds for it. Everything for OUT is
// staged with the list, so the patches, the list and the index land in one
// commit and the patches of contents that left the history go with it; the
// history itself changes after that commit, so a failed publication leaves
// it as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/patch_index.h"
#include "output_file.h"

namespace upd::publish {

class patch_history_t {
 public:
  // Creates DIR with mode 0700 when missing.
  patch_history_t(const std::filesystem::path& dir, std::size_t keep,
                  const std::filesystem::path& out);

  // One listed file: its source, its new digest in hexadecimal, and the size
  // of the form clients would otherwise fetch first.
  void add_file(staged_files_t& staged, const std::string& name,
                const std::filesystem::path& source, const std::string& digest,
                std::uintmax_t packed_size);
  // The index for the list's serial, and the removal of every patch in OUT
  // it does not name. After the list.
  void add_index(staged_files_t& staged, const std::string& serial) const;
  // After OUT's commit: the new contents join the history, the oldest
  // beyond `keep` leave it.
  void record() const;

 private:
  struct changed_t {
    std::string name;
    std::filesystem::path source;
    std::vector<std::string> contents;  // newest first, the new one included
    std::vector<std::string> left;      // digests that leave
  };

  std::filesystem::path dir_, out_;
  std::size_t keep_;
  std::vector<patch_entry_t> entries_;
  std::vector<changed_t> changed_;
};

// Stages OUT's index of the entries for the serial, and the removal of every
// patch in OUT it does not name.
void stage_patch_index(staged_files_t& staged, const std::filesystem::path& out,
                       const std::string& serial, const std::vector<patch_entry_t>& entries);

// Stages the removal of OUT's index and of every patch in it: what a
// publication without history leaves would no longer fit the list.
void remove_patches(staged_files_t& staged, const std::filesystem::path& out);

}  // namespace upd::publish
