#include "update/transfer_lanes.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>

namespace upd {

transfer_lanes_t::transfer_lanes_t(downloader_t& first, std::size_t count)
    : service_(first.service()) {
  lanes_.push_back({&first, false, false});
  for (std::size_t i = 1; i < std::clamp<std::size_t>(count, 1, max_lanes); ++i) {
    siblings_.push_back(first.sibling());
    lanes_.push_back({siblings_.back().get(), false, false});
  }
}

transfer_lanes_t::~transfer_lanes_t() {
  for (const auto& lane : lanes_)
    if (lane.in_flight) lane.downloader->cancel();
}

downloader_t* transfer_lanes_t::idle() {
  const auto lane = std::find_if(lanes_.begin(), lanes_.end(),
                                 [](const lane_t& l) { return !l.in_flight && !l.ended && !l.retired; });
  return lane == lanes_.end() ? nullptr : lane->downloader;
}

std::size_t transfer_lanes_t::count() const {
  return std::count_if(lanes_.begin(), lanes_.end(), [](const lane_t& l) { return !l.retired; });
}

void transfer_lanes_t::retire(downloader_t& lane) {
  lane_of(lane).retired = true;
  lane.cancel();
}

bool transfer_lanes_t::busy() const {
  return std::any_of(lanes_.begin(), lanes_.end(), [](const lane_t& l) { return l.in_flight; });
}

void transfer_lanes_t::start(downloader_t& lane, std::size_t id, const start_t& start) {
  lane_of(lane).in_flight = true;
  try {
    start(lane, [this, id, &lane](std::exception_ptr failure) {
      lane_t& ended = lane_of(lane);
      ended.in_flight = false;
      ended.ended = true;
      ended_.push_back({id, &lane, failure});
    });
  } catch (...) {
    lane_of(lane).in_flight = false;
    throw;
  }
}

void transfer_lanes_t::run_one() {
  boost::this_thread::interruption_point();
  if (service_.stopped()) service_.restart();
  service_.run_one();
  // The loop stops when the worker is stopped to end an interrupted attempt.
  boost::this_thread::interruption_point();
}

std::vector<transfer_lanes_t::ended_t> transfer_lanes_t::take_ended() {
  for (const auto& ended : ended_) lane_of(*ended.lane).ended = false;
  return std::exchange(ended_, {});
}

transfer_lanes_t::lane_t& transfer_lanes_t::lane_of(const downloader_t& downloader) {
  return *std::find_if(lanes_.begin(), lanes_.end(),
                       [&](const lane_t& l) { return l.downloader == &downloader; });
}

}  // namespace upd
