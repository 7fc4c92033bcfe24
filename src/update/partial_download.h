// Transfers that survive broken connections. A body that breaks off after
// it began stays in a partial file beside the staged one, named after the
// URL's last component with "-partial" (listed names never hold a "-", so no
// listed file can be one or be overwritten by one), and the next try of the
// URL, in this attempt or a later one, asks only for the rest. The staged
// file's digest stays the judge of what the pieces make.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <exception>
#include <string>

namespace upd {

class downloader_t;
class url_t;

// A resumed transfer that adds less than this to the file earns no further
// resumption, so that a server cutting every connection after a few bytes
// cannot hold the attempt; the file keeps what came for a later attempt.
// Nor does a range answered with the whole body: each such answer starts
// from byte 0 again, so a server that cut each one a little further would
// make a file cost the square of its size.
inline constexpr std::uint64_t min_resume_progress = 64 * 1024;

// "NAME-partial" for a transferred file NAME.
std::string partial_name(const std::string& transferred_name);
// The partial file of the URL beside the staged file.
boost::filesystem::path partial_path(const boost::filesystem::path& staged, const url_t& url);

// Fetches the URL into its partial file, continuing what is there, and
// goes on as continue_fetch() does after a failure.
void fetch_resuming(downloader_t& downloader, const url_t& url, const boost::filesystem::path& partial,
                    std::uint64_t limit);
// Goes on after a transfer of the URL into its partial file ended with
// `failure` (null: it ended well): resumes it at once after each break of
// a 206 or of a first transfer that brought min_resume_progress more, and
// fetches the body once more whole when the server refused the range
// (range_refused: the file's beginning is no use for this URL); any other
// failure, or the last, is thrown, leaving what arrived. So the bytes
// received stay below twice the limit: the parts of one body, then at most
// one whole body answering a range or fetched afresh.
void continue_fetch(downloader_t& downloader, const url_t& url, const boost::filesystem::path& partial,
                    std::uint64_t limit, std::exception_ptr failure);

}  // namespace upd
