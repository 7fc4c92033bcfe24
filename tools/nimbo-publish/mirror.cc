#include "mirror.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "common/temporary_files.h"
#include "common/unique_fd.h"
#include "formats/file_sha256.h"
#include "formats/list_keys.h"
#include "formats/lst_file.h"
#include "formats/lzma_file.h"
#include "formats/packed_index.h"
#include "formats/whole_file.h"
#include "http/downloader.h"
#include "keyfile/signer.h"
#include "output_file.h"
#include "patch_history.h"
#include "update/staging.h"
#include "upstream.h"
#include "upstream_validators.h"

namespace upd::publish {
namespace fs = std::filesystem;
namespace {

constexpr const char* list_name = "version.lst";

// What the mirror holds at the name; nothing when there is nothing.
std::optional<std::string> held_file(const fs::path& path, std::size_t limit) {
  if (!fs::exists(fs::symlink_status(path))) return std::nullopt;
  try {
    return read_whole_file(path.string(), limit, links_t::refuse);
  } catch (const std::exception& e) {
    throw std::runtime_error(path.string() + ": " + e.what());
  }
}

lst_file_t upstream_list(const key_file_t& key, const std::string& bytes) {
  try {
    return lst_file_t::parse(bytes, [&](std::string_view signed_part, std::string_view signature) {
      return verify_text(key, signed_part, signature);
    }, dsa_key_id(key));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("upstream ") + list_name + ": " + e.what());
  }
}

// The mirror wrote and checked its list before; only its names and serial matter now.
lst_file_t held_list(const fs::path& path, const std::string& bytes) {
  try {
    return lst_file_t::parse(bytes, [](std::string_view, std::string_view) { return true; });
  } catch (const std::exception& e) {
    throw std::runtime_error(path.string() + ": " + e.what());
  }
}

// Names that would overwrite the list, its signature, an index or another file's packed form.
void check_names(const lst_file_t& list) {
  for (const std::string& name : list.file_names()) {
    const bool packed_twin =
        name.ends_with(compressed_suffix) &&
        list.contains(name.substr(0, name.size() - std::string_view(compressed_suffix).size()));
    if (name == list_name || name == list_signature_name || name == packed_index_name || name == patch_index_name ||
        packed_twin)
      throw std::runtime_error(std::string("upstream ") + list_name + " lists \"" + name +
                               "\", which a repository cannot serve");
  }
}

// The zone the held signature names: a mirror serves one zone's lists, so
// upstream's statement must name it too. Nothing held: upstream's own.
std::string held_zone(const std::optional<std::string>& held, const fs::path& path,
                      const std::string& upstream_zone) {
  if (!held) return upstream_zone;
  try {
    return list_signature_t::parse(*held).zone;
  } catch (const list_signature_error& e) {
    throw std::runtime_error(path.string() + ": " + e.what());
  }
}

// Returns the zone the signature names; none without a signature.
std::string check_signature(const std::optional<std::string>& signature, const std::string& list,
                            const std::string& serial, const mirror_options_t& options,
                            const std::optional<std::string>& held, const fs::path& held_path) {
  if (!signature) {
    if (!options.list_keys.empty() || held)
      throw std::runtime_error(std::string("upstream offers no ") + list_signature_name);
    return {};
  }
  try {
    const auto file = list_signature_t::parse(*signature);
    file.check(options.list_keys.empty() ? built_in_list_keys()
                                         : std::span<const ed25519_key_t>(options.list_keys),
               list, serial, held_zone(held, held_path, file.zone), options.now);
    return file.zone;
  } catch (const list_signature_error& e) {
    throw std::runtime_error(std::string("upstream ") + list_signature_name + ": " + e.what());
  }
}

bool is_current(const fs::path& path, const std::string& checksum) {
  return is_plain_file(path.string()) && file_sha256(path.string(), links_t::refuse) == checksum;
}

// Which listed files upstream's packed-form index says it offers packed;
// nothing when it has no index for this list (every file is asked for packed).
std::optional<packed_index_t> upstream_packed_index(upstream_t& upstream, const lst_file_t& list) {
  const std::optional<std::string> text = upstream.fetch(packed_index_name, max_repository_index_size);
  if (!text) return std::nullopt;
  try {
    return packed_index_t(*text, list.serial());
  } catch (const std::invalid_argument& e) {
    std::cerr << "Warning: upstream " << packed_index_name << " ignored: " << e.what() << '\n';
    return std::nullopt;
  }
}

// Stages NAME.lzma (or the removal of an older one when upstream offers
// none) and NAME, checked against the list; returns whether NAME.lzma is staged.
bool stage_file(upstream_t& upstream, staged_files_t& staged, const fs::path& out, const lst_file_t& list,
                const std::string& name, bool ask_packed) {
  const std::uint32_t size = list.size_of(name);
  const std::string packed_name = name + compressed_suffix;
  fs::path packed;
  const bool offered = ask_packed && staged.add_by_name(out / packed_name, [&](const fs::path& temporary) {
    packed = temporary;
    return upstream.fetch_to(packed_name, temporary, compressed_size_limit(size));
  });
  // A packed form left from an older version would cost clients a wasted transfer.
  if (!offered) staged.remove(out / packed_name);
  staged.add_by_name(out / name, [&](const fs::path& temporary) {
    if (offered) {
      try {
        unpack_lzma_file(packed.string(), temporary.string(), size);
      } catch (const std::exception& e) {
        throw std::runtime_error("upstream " + packed_name + ": " + e.what());
      }
    } else if (!upstream.fetch_to(name, temporary, size)) {
      throw std::runtime_error("upstream lacks the listed " + name);
    }
    if (fs::file_size(temporary) != size ||
        file_sha256(temporary.string(), links_t::refuse) != list.checksum_of(name))
      throw std::runtime_error("upstream " + (offered ? packed_name : name) +
                               " does not match the list's SHA-256");
    return true;
  });
  return offered;
}

// Carries upstream's patch index and the patches it names for listed files,
// each bounded by its indexed size (the listed digest judges what clients
// make of them). Without a valid index for this list the mirror offers none.
void stage_patches(upstream_t& upstream, staged_files_t& staged, const fs::path& out, const lst_file_t& list) {
  const std::optional<std::string> text = upstream.fetch(patch_index_name, max_repository_index_size);
  std::vector<patch_entry_t> carried;
  try {
    if (!text) return remove_patches(staged, out);
    for (const auto& entry : patch_index_t(*text, list.serial()).entries()) {
      const std::string name = patch_file_name(entry.name, entry.old_sha256);
      if (list.contains(entry.name) && staged.add_by_name(out / name, [&](const fs::path& temporary) {
            return upstream.fetch_to(name, temporary, entry.size);
          }))
        carried.push_back(entry);
    }
  } catch (const std::invalid_argument& e) {
    std::cerr << "Warning: upstream " << patch_index_name << " ignored: " << e.what() << '\n';
    return remove_patches(staged, out);
  }
  stage_patch_index(staged, out, list.serial(), carried);
}

void remove_file(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail_with_errno(path, "unlink");
}

void make_directory(const fs::path& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail_with_errno(path, "mkdir");
}

// Two runs at once could each find the mirror older than their list and
// commit in either order, moving it back to the older list. The lock is on
// the folder itself, so nothing beside the served files is needed, and it
// lasts as long as the descriptor.
unique_fd_t lock_folder(const fs::path& out) {
  make_directory(out);
  unique_fd_t fd(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) fail_with_errno(out, "open");
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
  if (errno == EWOULDBLOCK) throw std::runtime_error(out.string() + ": another mirror run is writing it");
  fail_with_errno(out, "flock");
}

// Another writer (a publish into the folder, say) may have put a list there
// since it was read; the older list must not replace it.
void check_still_newer(const fs::path& list_path, const std::optional<std::string>& held,
                       const lst_file_t& listed) {
  const std::optional<std::string> now = held_file(list_path, downloader_t::memory_limit_);
  if (!now || now == held) return;
  const std::string serial = held_list(list_path, *now).serial();
  if (!serial_is_older(serial, listed.serial()))
    throw std::runtime_error("the mirrored list is now " + serial + ", not older than upstream list " +
                             listed.serial());
}

}  // namespace

mirror_result_t mirror_repository(const key_file_t& key, const mirror_options_t& options) {
  const fs::path list_path = options.out / list_name,
                 signature_path = options.out / list_signature_name;
  remove_temporaries_on_signals();
  const unique_fd_t lock = lock_folder(options.out);
  remove_leftover_temporaries(options.out.string());  // of a killed run: none is running now
  const std::optional<std::string> held = held_file(list_path, downloader_t::memory_limit_),
                                   held_signature =
                                       held_file(signature_path, max_list_signature_size);
  upstream_t upstream(options.from, options.proxy, options.tls_check);
  // Only what the mirror holds can stand in for a body upstream did not send.
  const upstream_validators_t kept_validators = load_upstream_validators(options.out);
  upstream_validators_t validators;
  const auto conditionally = [&](const std::string& name, const std::optional<std::string>& copy,
                                 std::uint64_t limit) {
    const std::string url = url_t(options.from, name).to_string();
    const auto kept = kept_validators.find(url);
    const kept_body_t held_body{copy.value_or(""), kept == kept_validators.end() ? http_validators_t{} : kept->second};
    auto body = upstream.fetch(name, limit, copy ? &held_body : nullptr);
    if (body) validators[url] = upstream.validators();
    return body;
  };
  const std::optional<std::string> list = conditionally(list_name, held, downloader_t::memory_limit_);
  if (!list) throw std::runtime_error(url_t(options.from, list_name).to_string() + ": HTTP 404");
  const lst_file_t listed = upstream_list(key, *list);
  if (listed.serial().size() > max_serial_digits)
    throw std::runtime_error(std::string("upstream ") + list_name + ": serial too long");
  const std::optional<lst_file_t> previous =
      held ? std::optional(held_list(list_path, *held)) : std::nullopt;
  if (previous && serial_is_older(listed.serial(), previous->serial()))
    throw std::runtime_error("upstream list " + listed.serial() +
                             " is older than the mirrored list " + previous->serial());
  check_names(listed);
  const std::optional<std::string> signature =
      conditionally(list_signature_name, list == held ? held_signature : std::nullopt, max_list_signature_size);
  const std::string zone =
      check_signature(signature, *list, listed.serial(), options, held_signature, signature_path);

  mirror_result_t result{listed.serial(), zone, 0, 0, held != list, signature != held_signature};
  staged_files_t staged;
  if (result.list_changed) {
    const std::optional<packed_index_t> upstream_packed = upstream_packed_index(upstream, listed);
    // The mirror's own index names what it holds, whatever upstream's said.
    std::vector<std::string> packed;
    for (const std::string& name : listed.file_names()) {
      bool has_packed = is_plain_file((options.out / (name + compressed_suffix)).string());
      if (!is_current(options.out / name, listed.checksum_of(name))) {
        has_packed = stage_file(upstream, staged, options.out, listed, name,
                                !upstream_packed || upstream_packed->packed(name));
        ++result.fetched;
      }
      if (has_packed) packed.push_back(name);
    }
    staged.add(options.out / packed_index_name, packed_index_text(listed.serial(), packed));
    staged.add(list_path, *list);
    stage_patches(upstream, staged, options.out, listed);
  }
  if (result.signature_changed) staged.add(signature_path, *signature);
  if (validators != kept_validators)
    staged.add(options.out / upstream_validators_name, format_upstream_validators(validators));
  check_still_newer(list_path, held, listed);
  staged.commit();
  if (!previous) return result;
  for (const std::string& name : previous->file_names())
    if (!listed.contains(name)) {
      for (const std::string& gone : {name, name + compressed_suffix}) remove_file(options.out / gone);
      ++result.removed;
    }
  return result;
}

}  // namespace upd::publish
