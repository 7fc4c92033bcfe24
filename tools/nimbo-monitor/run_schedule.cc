#include "run_schedule.h"

#include <algorithm>

#include "error.pb.h"

namespace upd::monitor {

namespace {
constexpr run_schedule_t::duration_t first_backoff = std::chrono::minutes(1);
}

run_schedule_t::run_schedule_t(duration_t interval, random_t random)
    : interval_(interval), random_(std::move(random)) {}

run_schedule_t::duration_t run_schedule_t::wait_after(bool succeeded) {
  backoff_ = succeeded ? duration_t{0} : std::min(backoff_ == duration_t{0} ? first_backoff : 2 * backoff_, interval_);
  const duration_t wait = succeeded ? interval_ : backoff_;
  return wait + duration_t(static_cast<duration_t::rep>(random_() * static_cast<double>(wait.count()) / 10));
}

std::chrono::seconds wait_asked(const std::vector<server_wait_t>& waits, int status, std::time_t now) {
  std::time_t until = now;
  if (status == nb::EC_NO_UPDATE_SERVERS)
    for (const auto& wait : waits)
      if (wait.server.empty()) until = std::max(until, wait.until);
  return std::chrono::seconds(until - now);
}

}  // namespace upd::monitor
