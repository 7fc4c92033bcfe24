#include "update/unpack_pool.h"

#include <algorithm>

namespace upd {

unsigned unpack_pool_t::default_threads() {
  return std::clamp(boost::thread::hardware_concurrency(), 1u, max_threads);
}

unpack_pool_t::unpack_pool_t(unsigned threads) : threads_(threads) {
  for (unsigned i = 0; i < threads; ++i) group_.create_thread([this] { work(); });
}

unpack_pool_t::~unpack_pool_t() {
  // join_all is an interruption point, and a stopping update worker may be
  // asked to stop again while it waits here.
  boost::this_thread::disable_interruption still;
  group_.interrupt_all();
  group_.join_all();
}

void unpack_pool_t::submit(std::size_t id, std::uint64_t dictionary, job_t job) {
  boost::unique_lock lock(mutex_);
  while (queue_.size() >= threads_) changed_.wait(lock);
  queue_.push_back({id, std::min(dictionary, dictionary_budget), std::move(job)});
  changed_.notify_all();
}

std::vector<unpack_pool_t::result_t> unpack_pool_t::take_results(bool wait) {
  boost::unique_lock lock(mutex_);
  while (wait && results_.empty() && (running_ > 0 || !queue_.empty())) changed_.wait(lock);
  return std::exchange(results_, {});
}

bool unpack_pool_t::busy() {
  boost::lock_guard lock(mutex_);
  return running_ > 0 || !queue_.empty() || !results_.empty();
}

void unpack_pool_t::work() {
  boost::unique_lock lock(mutex_);
  for (;;) {
    // In order: a large job is not passed by smaller ones for ever.
    while (queue_.empty() || dictionaries_ + queue_.front().dictionary > dictionary_budget)
      changed_.wait(lock);
    queued_t next = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    dictionaries_ += next.dictionary;
    changed_.notify_all();
    lock.unlock();
    std::exception_ptr error;
    try {
      next.job();
    } catch (const boost::thread_interrupted&) {
      // Only the pool's destruction interrupts: nobody takes results any more.
      return;
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    --running_;
    dictionaries_ -= next.dictionary;
    results_.push_back({next.id, error});
    changed_.notify_all();
  }
}

}  // namespace upd
