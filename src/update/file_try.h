// One try of one URL for a listed file, in two halves so that the second
// may run on another thread: fetch() brings the body to the staged path on
// the update worker (the only thread that talks to servers), finish()
// unpacks it when it is the compressed form and checks it against the
// listed digest, on any thread.
//
// The body travels through the URL's partial file, resumed where a broken
// transfer left it (see partial_download.h). A range the server refuses is
// fetched once more whole at once; a joined body that fails its check is
// fetched once more whole by settle(), so that a beginning that does not
// fit the rest (the file changed on the server, or on disk) costs one whole
// transfer, never a failed file.
//
// Bounds against hostile servers: a plain body may not exceed the listed
// size, a compressed body the listed size plus compressed_size_limit()'s
// margin, and unpacking stops once its output exceeds the listed size. All
// transfers of one try together receive at most twice that bound (plus
// their heads): the parts of one body and one whole body after them, be it
// the fetch afresh or a server's whole answer to a range.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <exception>
#include <functional>

#include "http/url.h"
#include "update/zone.h"

namespace upd {

class checker_t;
class downloader_t;

// The suffix of the compressed form of a listed file, tried first.
inline constexpr const char* compressed_suffix = ".lzma";

// The most a compressed body of a file of the given listed size may take.
std::uint64_t compressed_size_limit(std::uint32_t listed_size);

// Whether the staged file already holds the listed content, so that no try
// need fetch it: only when no link and no other name reaches it (whoever
// planted a second name could change it after the check).
bool is_staged(checker_t& checker, const zone_t::item_t& item);

class file_try_t {
 public:
  // The packed form is NAME.lzma under the server's base URL, the plain one
  // NAME: what is unpacked is decided by the form asked for, never by the
  // listed name, which may end in ".lzma" itself.
  file_try_t(const std::string& server, const zone_t::item_t& item, bool packed);

  const url_t& url() const { return url_; }
  const zone_t::item_t& item() const { return item_; }
  bool packed() const { return compressed_; }

  // False when the staged file already holds the listed content
  // (is_staged). Otherwise fetches and returns true; a transfer failure is
  // thrown.
  bool fetch(downloader_t& downloader, checker_t& checker);
  // fetch() in two parts, so that the first transfer may share the event
  // loop with others: staged() is fetch()'s check, begin_fetch() starts the
  // first transfer (done gets its failure), and continue_fetch() takes it
  // back on the update worker: it goes on as fetch() would, or throws.
  bool staged(checker_t& checker) const;
  void begin_fetch(downloader_t& downloader, std::function<void(std::exception_ptr)> done);
  void continue_fetch(downloader_t& downloader, std::exception_ptr failure);
  // Throws a failure to unpack, or EC_BAD_CHECKSUM when the staged file
  // does not hold the listed content. The packed file's disk blocks are
  // given back while it is unpacked.
  void finish() const;
  // The dictionary that finish() will allocate to unpack the fetched body,
  // read from its header (lzma_file_dictionary); 0 for the plain form.
  std::uint64_t dictionary_size() const;
  // Update worker, after finish() (run anywhere) ended with error, null on
  // success: rethrows it, unless the body joined transfers; then fetches
  // the URL whole and finishes again.
  void settle(downloader_t& downloader, std::exception_ptr error);
  // Logs the Notice "Downloaded NAME (N bytes)".
  void report_success() const;

 private:
  // The body has arrived whole in the partial file: it becomes the staged one.
  void take_body(const downloader_t& downloader);
  boost::filesystem::path partial() const;
  std::uint64_t body_limit() const;

  url_t url_;
  zone_t::item_t item_;
  bool compressed_;
  bool spliced_ = false;  // the body joined transfers
  std::uint64_t body_bytes_ = 0;
};

}  // namespace upd
