// Worker threads that unpack and check staged downloads while the update
// worker fetches the next files: the network and decoding overlap, and
// decoding runs on every core.
//
// The pool is fixed and bounded: its threads start with it, and submit()
// waits while as many jobs wait as there are threads, so that the
// finished-but-unpacked files on disk do not grow with the length of the
// list. Each job names the dictionary it will allocate, and jobs start in
// order only while the dictionaries of the running ones and its own fit
// dictionary_budget, so that the memory of the whole pool stays bounded
// whatever the headers of the files say. Its waits are interruption points
// of the update worker; destroying the pool interrupts its threads (a job
// stops between two pieces of output) and joins them.
#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <vector>

namespace upd {

class unpack_pool_t {
 public:
  // A job reports failure by throwing.
  using job_t = std::function<void()>;
  struct result_t {
    std::size_t id;
    std::exception_ptr error;  // null on success
  };

  // One thread per core, at most max_threads.
  static constexpr unsigned max_threads = 4;
  // Two of the largest dictionaries a file may ask for
  // (decoder_t::max_dictionary): a job alone always fits.
  static constexpr std::uint64_t dictionary_budget = 128 << 20;

  explicit unpack_pool_t(unsigned threads = default_threads());
  ~unpack_pool_t();
  unpack_pool_t(const unpack_pool_t&) = delete;
  unpack_pool_t& operator=(const unpack_pool_t&) = delete;

  static unsigned default_threads();

  // The job's dictionary in bytes: what decoder_t::dictionary_for says
  // the unpacking allocates; more than the budget counts as the budget.
  void submit(std::size_t id, std::uint64_t dictionary, job_t job);
  // The results that came in since the last call; with wait, blocks until
  // there is one unless no job is queued or running.
  std::vector<result_t> take_results(bool wait);
  // Jobs queued or running whose results were not taken yet.
  bool busy();

 private:
  struct queued_t {
    std::size_t id;
    std::uint64_t dictionary;
    job_t job;
  };

  void work();

  std::size_t threads_;
  boost::mutex mutex_;
  boost::condition_variable changed_;
  // Guarded by mutex_.
  std::deque<queued_t> queue_;
  std::size_t running_ = 0;
  std::uint64_t dictionaries_ = 0;  // of the running jobs
  std::vector<result_t> results_;
  // The threads last: they start once the state above exists.
  boost::thread_group group_;
};

}  // namespace upd
