// What the transfers and the checksum pass report while they work. They sit
// below the update layer, which collects these counts and delivers them to
// the monitor; these interfaces are all they need to know of it.
#pragma once

#include <cstdint>

namespace upd {

// Bytes on the wire, counted by the connections on whichever thread runs them.
class byte_counter_t {
 public:
  virtual void add_bytes_sent(std::uint32_t n) = 0;
  virtual void add_bytes_received(std::uint32_t n) = 0;

 protected:
  ~byte_counter_t() = default;
};

// Bytes of local files hashed so far out of a known total.
class check_counter_t {
 public:
  virtual void set_check_total(std::uint32_t bytes) = 0;
  virtual void set_checked(std::uint32_t bytes) = 0;  // a running total

 protected:
  ~check_counter_t() = default;
};

}  // namespace upd
