// The stored form of the checksum cache: one upd.Cache message whose last
// field is the SHA-256 of everything before it. Pure functions over bytes;
// the checker reads and writes the file. Any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <string>

namespace upd {

// A file's digest and the identity it was computed for.
struct cache_record_t {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int32_t ctime = 0;  // status-change time in whole seconds
  std::string sha256;      // 32 raw bytes

  bool operator==(const cache_record_t&) const = default;
};

// Paths by their bytes. boost's own order compares paths element by element,
// making a path of each element, and that took most of a run that found
// nothing changed; the cache needs an order, not that one.
struct path_bytes_less {
  bool operator()(const boost::filesystem::path& a, const boost::filesystem::path& b) const {
    return a.native() < b.native();
  }
};

using cache_records_t = std::map<boost::filesystem::path, cache_record_t, path_bytes_less>;

// The records in the order of their paths' bytes, then the digest field. Throws
// std::runtime_error("serializaition failed") if protobuf refuses them.
std::string encode_cache(const cache_records_t& records);

// body (encoded Cache fields without the digest) followed by its digest
// field: the last step of encode_cache.
std::string seal_cache(const std::string& body);

// The records of a stored cache; a later record for a path replaces an
// earlier one. Anything but an intact file written by encode_cache (a cut,
// a changed byte, a missing required field) throws
// std::runtime_error("invalid format").
cache_records_t decode_cache(const std::string& bytes);

}  // namespace upd
