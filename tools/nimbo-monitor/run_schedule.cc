#include "run_schedule.h"

#include <algorithm>

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

}  // namespace upd::monitor
