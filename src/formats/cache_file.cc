#include "formats/cache_file.h"

#include <stdexcept>

#include "cache.pb.h"
#include "formats/file_sha256.h"

namespace upd {
namespace {

// Field 2 (digest), length-delimited, 32 bytes long.
const std::string digest_prefix = {'\x12', '\x20'};
constexpr std::size_t digest_size = 32;
constexpr std::size_t trailer_size = 2 + digest_size;

}  // namespace

std::string encode_cache(const cache_records_t& records) {
  upd::Cache cache;
  for (const auto& [path, record] : records) {
    FileCrc* crc = cache.add_crcs();
    crc->set_path(path.native());
    crc->set_dev(record.dev);
    crc->set_ino(record.ino);
    crc->set_ctime(static_cast<std::uint64_t>(static_cast<std::int64_t>(record.ctime)));
    crc->set_sha256(record.sha256);
  }
  std::string body;
  if (!cache.SerializeToString(&body)) throw std::runtime_error("serializaition failed");
  return seal_cache(body);
}

std::string seal_cache(const std::string& body) {
  // Appending field 2 by hand keeps it last whatever the library's field
  // order, which is what lets decode_cache find it.
  return body + digest_prefix + sha256_digest(body);
}

cache_records_t decode_cache(const std::string& bytes) {
  const std::runtime_error invalid("invalid format");
  if (bytes.size() < trailer_size) throw invalid;
  const std::size_t body_size = bytes.size() - trailer_size;
  const std::string body_digest = sha256_digest(std::string_view(bytes).substr(0, body_size));
  if (bytes.compare(body_size, 2, digest_prefix) != 0 || bytes.compare(body_size + 2, digest_size, body_digest) != 0)
    throw invalid;
  upd::Cache cache;
  if (!cache.ParseFromString(bytes)) throw invalid;
  cache_records_t records;
  for (const FileCrc& crc : cache.crcs()) {
    records[crc.path()] = {crc.dev(), crc.ino(), static_cast<std::int32_t>(crc.ctime()),
                           crc.sha256()};
  }
  return records;
}

}  // namespace upd
