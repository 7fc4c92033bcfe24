// Servers that asked not to be asked again before a time: a 429 or 503
// answer with Retry-After. A fleet that comes straight back to an
// overloaded server, every run, keeps it overloaded; so the wait is kept in
// the update directory ("nimbo-update.waits"), outlives the run and a
// reboot, and each run skips a waiting server until its time has come.
// A wait is capped at a day from when it was asked, so that a hostile or
// broken server cannot silence itself for longer.
//
// The record is text, replaced atomically (temporary file, fsync, rename,
// mode 0600) whenever a wait is added, so that it survives the failure the
// answer caused:
//
//   nimbo-update waits 1
//   BASE 2026-12-08T01:00:00Z https://mirror.example/bases/
//   BASE 2026-12-08T01:00:00Z
//   end
//
// A line without a URL says that every server of the zone was waiting,
// which ended a run; the reference monitor reads it to wait that long before
// the next one. Waits whose time has passed are dropped. A missing or
// damaged record is no wait (a damaged one is logged). Worker thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace upd {

inline constexpr const char* server_waits_name = "nimbo-update.waits";
inline constexpr std::time_t max_server_wait = 24 * 60 * 60;

struct server_wait_t {
  std::string zone;
  std::string server;  // the base URL; "" for every server of the zone
  std::time_t until = 0;

  friend bool operator==(const server_wait_t&, const server_wait_t&) = default;
};

// The time a Retry-After value names (delay seconds or an HTTP date), at
// most max_server_wait after now; nothing when it is malformed or not
// later than now.
std::optional<std::time_t> retry_after_time(const std::string& value, std::time_t now);

// The record's text and back; nothing for a damaged one. Encoding stops
// before a line that would take the record beyond its bound.
std::string encode_server_waits(const std::vector<server_wait_t>& waits);
std::optional<std::vector<server_wait_t>> decode_server_waits(const std::string& text);

// The waits of the record in update_dir that last beyond now.
std::vector<server_wait_t> load_server_waits(const boost::filesystem::path& update_dir,
                                             std::time_t now);

class server_waits_t {
 public:
  // Nothing is read or written without an update directory.
  server_waits_t(boost::filesystem::path update_dir, std::time_t now);

  // When the server may be asked again; nothing when it may be now.
  std::optional<std::time_t> until(const std::string& zone, const std::string& server) const;
  // Keeps the wait at once; a record that cannot be written is a Warning.
  void add(const std::string& zone, const std::string& server, std::time_t until);
  // Every server of the zone waits; "" as above.
  void add_zone(const std::string& zone, std::time_t until) { add(zone, "", until); }
  // A server of the zone delivered: whoever schedules runs need not wait
  // for it any more.
  void forget_zone(const std::string& zone);

 private:
  void store() const;

  boost::filesystem::path update_dir_;
  std::vector<server_wait_t> waits_;
};

}  // namespace upd
