// Several transfers in flight at once, all on the update worker's one event
// loop. On a link with a long round trip, one request at a time leaves the
// link idle for a round trip or more per file; with N connections to the
// zone's server, N requests are in flight. Each lane is a downloader with a
// connection of its own: the first is the attempt's downloader (whose kept
// connection just fetched the zone's list), the others its siblings. No
// other thread is involved: the worker starts transfers, runs the loop while
// they are in flight, and takes each ended one back when it is ready to.
//
// What N connections add to the peak memory: per lane a 64 KiB read buffer,
// a 64 KiB write buffer and, over TLS, OpenSSL's buffers and session (some
// 100 KiB more), and on disk the partial files of at most N files.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "http/downloader.h"

namespace upd {

class transfer_lanes_t {
 public:
  // More than this many connections to one server would be no kinder to it
  // than a download tool, and gain nothing on any link.
  static constexpr std::size_t max_lanes = 16;

  // A transfer that has ended: the id it was started with, the lane it ran
  // on (idle again) and its failure, null on success.
  struct ended_t {
    std::size_t id;
    downloader_t* lane;
    std::exception_ptr failure;
  };
  // Starts a transfer on the lane that calls done when it ends.
  using start_t = std::function<void(downloader_t& lane, downloader_t::completion_t done)>;

  // count lanes: first and count - 1 siblings of it (at least 1, at most max_lanes).
  transfer_lanes_t(downloader_t& first, std::size_t count);
  // Transfers still in flight are cancelled.
  ~transfer_lanes_t();
  transfer_lanes_t(const transfer_lanes_t&) = delete;
  transfer_lanes_t& operator=(const transfer_lanes_t&) = delete;

  // A lane in use without a transfer in flight or an ended one not yet
  // taken, or null. Its downloader may also serve synchronous transfers,
  // which run the other lanes meanwhile.
  downloader_t* idle();
  // The lanes in use.
  std::size_t count() const;
  // Takes an idle lane out of use and closes its connection: its server
  // refused a request while others were in flight.
  void retire(downloader_t& lane);
  // Whether a transfer is in flight.
  bool busy() const;
  // Whether an ended transfer waits to be taken.
  bool ended() const { return !ended_.empty(); }
  // Starts a transfer on an idle lane; a failure to start is thrown and
  // leaves the lane idle.
  void start(downloader_t& lane, std::size_t id, const start_t& start);
  // Runs one handler of the event loop, waiting for one if none is ready;
  // the thread's interruption point is tested around it.
  void run_one();
  // The transfers that ended since the last call, in the order they ended;
  // their lanes are idle from now on (so the taker may use each for the
  // follow-up of its transfer before the next starts there).
  std::vector<ended_t> take_ended();

 private:
  struct lane_t {
    downloader_t* downloader;
    bool in_flight;
    bool ended;  // and not yet taken
    bool retired = false;
  };
  lane_t& lane_of(const downloader_t& downloader);

  boost::asio::io_context& service_;
  std::vector<std::unique_ptr<downloader_t>> siblings_;
  std::vector<lane_t> lanes_;
  std::vector<ended_t> ended_;
};

}  // namespace upd
