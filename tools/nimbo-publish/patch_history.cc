#include "patch_history.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>

#include "patch_maker.h"

namespace upd::publish {
namespace fs = std::filesystem;
namespace {

constexpr const char* contents_name = "contents";

std::vector<std::string> read_contents(const fs::path& dir) {
  std::vector<std::string> digests;
  std::ifstream file(dir / contents_name);
  // A content whose copy is gone can no longer give a patch.
  for (std::string line; std::getline(file, line);)
    if (fs::is_regular_file(dir / line)) digests.push_back(line);
  return digests;
}

bool is_patch_name(const std::string& name) { return name.find(".patch-") != std::string::npos; }

}  // namespace

patch_history_t::patch_history_t(const fs::path& dir, std::size_t keep, const fs::path& out)
    : dir_(dir), out_(out), keep_(keep) {
  if (fs::create_directories(dir_)) fs::permissions(dir_, fs::perms::owner_all);
}

void patch_history_t::add_file(staged_files_t& staged, const std::string& name,
                               const fs::path& source, const std::string& digest,
                               std::uintmax_t packed_size) {
  const fs::path dir = dir_ / name;
  std::vector<std::string> contents = read_contents(dir);
  if (!contents.empty() && contents.front() == digest) {
    for (std::size_t i = 1; i < contents.size(); ++i) {
      const fs::path patch = out_ / patch_file_name(name, contents[i]);
      if (fs::is_regular_file(patch)) entries_.push_back({name, contents[i], fs::file_size(patch)});
    }
    return;
  }
  std::erase(contents, digest);
  contents.insert(contents.begin(), digest);
  std::vector<std::string> left;
  if (contents.size() > keep_) {
    left.assign(contents.begin() + static_cast<std::ptrdiff_t>(keep_), contents.end());
    contents.resize(keep_);
  }
  for (std::size_t i = 1; i < contents.size(); ++i) {
    const std::string patch = make_patch(dir / contents[i], source);
    if (patch.size() * 2 >= packed_size) continue;
    staged.add(out_ / patch_file_name(name, contents[i]), patch);
    entries_.push_back({name, contents[i], patch.size()});
  }
  changed_.push_back({name, source, std::move(contents), std::move(left)});
}

void patch_history_t::add_index(staged_files_t& staged, const std::string& serial) const {
  stage_patch_index(staged, out_, serial, entries_);
}

void patch_history_t::record() const {
  staged_files_t staged;
  for (const auto& file : changed_) {
    const fs::path dir = dir_ / file.name;
    fs::create_directories(dir);
    staged.add_by_name(dir / file.contents.front(), [&](const fs::path& temporary) {
      fs::copy_file(file.source, temporary, fs::copy_options::overwrite_existing);
      return true;
    });
    std::string text;
    for (const auto& digest : file.contents) text += digest + "\n";
    staged.add(dir / contents_name, text);
    for (const auto& digest : file.left) staged.remove(dir / digest);
  }
  staged.commit();
}

void stage_patch_index(staged_files_t& staged, const fs::path& out, const std::string& serial,
                       const std::vector<patch_entry_t>& entries) {
  std::string index = "nimbo-patches 1\nserial " + serial + "\n";
  std::set<std::string> indexed;
  for (const auto& entry : entries) {
    index += entry.name + " " + entry.old_sha256 + " " + std::to_string(entry.size) + "\n";
    indexed.insert(patch_file_name(entry.name, entry.old_sha256));
  }
  staged.add(out / patch_index_name, index);
  for (const auto& file : fs::directory_iterator(out)) {
    const std::string name = file.path().filename().string();
    if (is_patch_name(name) && !indexed.count(name)) staged.remove(file.path());
  }
}

void remove_patches(staged_files_t& staged, const fs::path& out) {
  if (!fs::is_directory(out)) return;
  staged.remove(out / patch_index_name);
  for (const auto& file : fs::directory_iterator(out))
    if (is_patch_name(file.path().filename().string())) staged.remove(file.path());
}

}  // namespace upd::publish
