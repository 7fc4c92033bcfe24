#include "publish.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <stdexcept>

#include "common/fd_io.h"
#include "formats/list_signature.h"
#include "formats/lst_file.h"
#include "formats/lst_grammar.h"
#include "formats/packed_index.h"
#include "formats/signature.h"
#include "keyfile/signer.h"
#include "lzma_alone.h"
#include "output_file.h"
#include "patch_history.h"

namespace upd::publish {
namespace fs = std::filesystem;
namespace {

constexpr const char* eol = "\r\n";

// Copies the file to out_fd and returns its SHA-256 digest in hexadecimal.
std::string copy_and_digest(const fs::path& source, int out_fd) {
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail_with_errno(source, "open");
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    ::close(*f);
    delete f;
  });
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!md || !EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr)) throw std::runtime_error("SHA-256 unavailable");
  std::vector<char> buffer(1 << 16);
  while (true) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail_with_errno(source, "read");
    if (n == 0) break;
    EVP_DigestUpdate(md.get(), buffer.data(), static_cast<std::size_t>(n));
    write_all(out_fd, buffer.data(), static_cast<std::size_t>(n));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  EVP_DigestFinal_ex(md.get(), digest, &size);
  return bytes_to_hex({reinterpret_cast<const char*>(digest), size});
}

// Whether the packed form written to fd is worth shipping beside the plain
// one. Clients fetch it first and must unpack it, and LZMA unpacks
// incompressible data at a small fraction of link speed, so a form that
// saves less than 3% costs them more than it saves.
bool saves_bytes(int fd, std::uintmax_t plain_size, const fs::path& name) {
  struct stat status;
  if (::fstat(fd, &status) != 0) fail_with_errno(name, "fstat");
  return static_cast<std::uintmax_t>(status.st_size) * 100 < plain_size * 97;
}

// The regular files of the source, sorted, after checking that the list
// can carry each name.
std::vector<fs::directory_entry> source_files(const list_options_t& options) {
  std::vector<fs::directory_entry> files;
  for (const auto& entry : fs::directory_iterator(options.source)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file())
      throw std::runtime_error(entry.path().string() + ": only regular files can be published");
    if (!match_entry_line("+" + name + ", 00, 0"))
      throw std::runtime_error("\"" + name +
                               "\": a listed name may hold only ASCII letters, digits, '.' and '_', "
                               "and may not be \".\" or \"..\"");
    if (name == "version.lst") throw std::runtime_error("\"version.lst\" is the update list itself");
    for (const char* index : {patch_index_name, packed_index_name})
      if (name == index) throw std::runtime_error("\"" + name + "\" would clash with the index of that name");
    if (entry.file_size() > UINT32_MAX)
      throw std::runtime_error(entry.path().string() + ": files of 4 GiB or more cannot be listed");
    files.push_back(entry);
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    fs::path packed = file.path();
    packed += ".lzma";
    if (std::binary_search(files.begin(), files.end(), fs::directory_entry(packed)))
      throw std::runtime_error("\"" + packed.filename().string() + "\" would clash with the packed form of \"" +
                               file.path().filename().string() + "\"");
  }
  if (files.empty()) throw std::runtime_error(options.source.string() + ": no files to list");
  return files;
}

// The serial of the list OUT holds; empty when it holds none.
std::string published_serial(const fs::path& out) {
  const fs::path path = out / "version.lst";
  if (!fs::exists(fs::symlink_status(path))) return {};
  return serial_of(path, read_file(path, max_list_size));
}

}  // namespace

list_result_t publish_list(const key_file_t& key, const list_options_t& options) {
  if (options.serial.empty() || options.serial.find_first_not_of("0123456789") != std::string::npos)
    throw std::runtime_error("the serial must be decimal digits");
  if (options.serial.size() > max_serial_digits)
    throw std::runtime_error("serial too long: clients take at most " +
                             std::to_string(max_serial_digits) + " digits");
  list_result_t result;
  const std::string published = published_serial(options.out);
  if (!published.empty() && serial_is_older(serial_value(options.serial), published)) {
    if (!options.allow_lower_serial)
      throw std::runtime_error("serial " + options.serial + " is not above the published " + published +
                               "; clients would refuse it (--allow-lower-serial publishes it anyway)");
    result.lowered_from = published;
  }
  for (const auto& pattern : options.removals)
    if (!match_removal_line("-" + pattern + ","))
      throw std::runtime_error("\"" + pattern +
                               "\": a removal pattern may hold only ASCII letters, digits, '?', '*', '.' and '_'");
  // Clients that know the signature file refuse a list it does not match.
  const fs::path signature_path = options.out / list_signature_name;
  if (options.signing.keys.empty() && fs::exists(fs::symlink_status(signature_path)))
    throw std::runtime_error(signature_path.string() +
                             " would no longer match the list: sign the list too, or remove that file");
  const auto files = source_files(options);
  result.files = files.size();
  fs::create_directories(options.out);
  staged_files_t staged;
  std::optional<patch_history_t> history;
  if (!options.history.empty()) history.emplace(options.history, options.keep, options.out);
  std::string body;
  std::vector<std::string> packed_names;
  for (const auto& file : files) {
    const std::string name = file.path().filename().string();
    std::string digest;
    staged.add(options.out / name, [&](int fd) { digest = copy_and_digest(file.path(), fd); });
    if (name != "timestamp") {
      const fs::path packed = options.out / (name + ".lzma");
      std::uintmax_t packed_size = file.file_size();
      const bool kept = staged.add_if(packed, [&](int fd) {
        compress_lzma_alone(file.path(), fd, packed);
        if (!saves_bytes(fd, file.file_size(), packed)) return false;
        packed_size = static_cast<std::uintmax_t>(::lseek(fd, 0, SEEK_END));
        return true;
      });
      // A packed form from an earlier publication would now be stale.
      if (kept)
        packed_names.push_back(name);
      else
        staged.remove(packed);
      if (history) history->add_file(staged, name, file.path(), digest, packed_size);
    }
    body += "+" + name + ", " + digest + ", " + std::to_string(file.file_size()) + eol;
  }
  for (const auto& pattern : options.removals) body += "-" + pattern + "," + eol;
  const std::string signed_part = "[NimboUpdateList]" + std::string(eol) + "[" + options.serial + "]" + eol + body +
                                  "[NimboUpdateListEnd]" + eol;
  const std::string list =
      signed_part + eol + "[Signature]" + eol + "Signature=" + sign_text(key, signed_part) + eol;
  staged.add(options.out / "version.lst", list);
  if (!options.signing.keys.empty()) staged.add(signature_path, list_signature_text(list, options.signing));
  staged.add(options.out / packed_index_name, packed_index_text(options.serial, packed_names));
  if (history)
    history->add_index(staged, options.serial);
  else
    remove_patches(staged, options.out);
  staged.commit();
  if (history) history->record();
  return result;
}

std::string drl_text(const key_file_t& key, const std::vector<std::string>& urls) {
  std::string signed_part;
  for (const auto& url : urls) {
    // The reader trims blanks and cuts lines at CR and LF: such a URL would not come back as given.
    if (url.empty() || url.find_first_of("\r\n") != std::string::npos ||
        url.find_first_of(" \t") == 0 || url.find_last_of(" \t") == url.size() - 1)
      throw std::runtime_error("\"" + url + "\": a server URL may not be empty, hold a line break, "
                               "or begin or end with a blank");
    signed_part += "url=" + url + "\n";
  }
  // A list without servers still needs a signed byte: an empty line.
  if (signed_part.empty()) signed_part = "\n";
  return signed_part + "sign=" + sign_text(key, signed_part) + "\n";
}

}  // namespace upd::publish
