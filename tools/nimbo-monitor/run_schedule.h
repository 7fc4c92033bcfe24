// The waits of --repeat. A fleet of machines started together (a power cut,
// one image) must not hit the servers in the same second every interval, so
// each wait gets a random delay of up to a tenth of itself. After a failure
// the next run comes sooner and the interval is spent in growing steps, one
// minute doubling up to the interval, so that a short outage costs minutes
// and a long one does not become a storm of retries. A run that ended
// because a zone's servers all asked to wait (Retry-After) is followed by
// none before they may be asked again.
//
// Pure arithmetic with the randomness handed in; any thread, one owner.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

#include "update/server_waits.h"

namespace upd::monitor {

class run_schedule_t {
 public:
  using duration_t = std::chrono::milliseconds;
  // A number in [0, 1).
  using random_t = std::function<double()>;

  run_schedule_t(duration_t interval, random_t random);

  // The wait after a run that succeeded or failed.
  duration_t wait_after(bool succeeded);

 private:
  duration_t interval_;
  random_t random_;
  duration_t backoff_{0};  // the last wait after a failure; 0 after a success
};

// The least wait after a run that ended with status: when it ended because
// every server of a zone asked to wait, until the last such zone may be
// asked again (by the component's record of waits), else none.
std::chrono::seconds wait_asked(const std::vector<server_wait_t>& waits, int status, std::time_t now);

}  // namespace upd::monitor
