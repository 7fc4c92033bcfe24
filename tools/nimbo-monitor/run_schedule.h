// The waits of --repeat. A fleet of machines started together (a power cut,
// one image) must not hit the servers in the same second every interval, so
// each wait gets a random delay of up to a tenth of itself. After a failure
// the next run comes sooner and the interval is spent in growing steps, one
// minute doubling up to the interval, so that a short outage costs minutes
// and a long one does not become a storm of retries.
//
// Pure arithmetic with the randomness handed in; any thread, one owner.
#pragma once

#include <chrono>
#include <functional>

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

}  // namespace upd::monitor
