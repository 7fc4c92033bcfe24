// Runs update attempts on a thread of their own and hands each outcome back
// to the controller's event loop.
//
// update_files() starts one attempt and returns at once. When the attempt
// ends by itself, exactly one handler is posted to the controller's loop:
// the callback with copies of the result, or on_update_error, which throws
// the attempt's code there. An interrupted attempt posts nothing.
//
// Owned by the controller; the progress object and the configuration are
// borrowed and must stay alive and unchanged until this object is destroyed.
// update_files() and the destructor are called on the controller's thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/thread/thread.hpp>
#include <functional>
#include <vector>

#include "error.pb.h"
#include "update/progress.h"
#include "common/zone_item.h"
#include "update_config.pb.h"

namespace upd {

class async_updater_t {
 public:
  using callback_t =
      std::function<void(std::vector<zone_item_t>, path_set_t, path_set_t, zone_serials_t)>;

  // signature_required: every zone needs signed lists (see zone_setup.h).
  async_updater_t(boost::asio::io_context& controller_service, progress_t* progress,
                  const nb::UpdateConfig* config, bool signature_required = false);
  // Interrupts a running attempt, stops its transfers and joins the thread.
  ~async_updater_t();
  async_updater_t(const async_updater_t&) = delete;
  async_updater_t& operator=(const async_updater_t&) = delete;

  // Waits for a previous attempt's thread to end, then starts the next.
  void update_files(callback_t callback);

  // Posted to the controller's loop for a failed attempt: throws code there.
  [[noreturn]] static void on_update_error(nb::ErrorCode code);

 private:
  void do_update_files(const callback_t& callback);

  boost::asio::io_context& controller_service_;
  progress_t* progress_;
  const nb::UpdateConfig* config_;
  bool signature_required_;
  boost::asio::io_context worker_service_;
  boost::thread worker_thread_;
};

}  // namespace upd
