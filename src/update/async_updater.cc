#include "update/async_updater.h"

#include <boost/asio/post.hpp>

#include "common/error.h"
#include "common/log.h"
#include "update/update_attempt.h"

namespace upd {

async_updater_t::async_updater_t(boost::asio::io_context& controller_service, progress_t* progress,
                                 const nb::UpdateConfig* config, bool signature_required)
    : controller_service_(controller_service),
      progress_(progress),
      config_(config),
      signature_required_(signature_required) {}

async_updater_t::~async_updater_t() {
  if (!worker_thread_.joinable()) return;
  UPD_LOG(log_debug, "Shutting down worker thread...");
  worker_thread_.interrupt();
  // Stopping the loop ends a transfer that waits for the network, which
  // would otherwise not reach an interruption point.
  worker_service_.stop();
  worker_thread_.join();
}

void async_updater_t::update_files(callback_t callback) {
  if (worker_thread_.joinable()) worker_thread_.join();
  worker_thread_ =
      boost::thread([this, callback = std::move(callback)] { do_update_files(callback); });
}

void async_updater_t::on_update_error(nb::ErrorCode code) { throw code; }

void async_updater_t::do_update_files(const callback_t& callback) {
  // boost::thread_interrupted is no std::exception: an interrupted attempt
  // passes both handlers, ends the thread and posts nothing.
  try {
    update_attempt_t attempt(worker_service_, progress_, signature_required_);
    attempt.run(*config_);
    boost::asio::post(controller_service_,
                      [callback, items = attempt.items(), removal = attempt.removal_set(),
                       up_to_date = attempt.up_to_date_set(), serials = attempt.serials()]() mutable {
                        callback(std::move(items), std::move(removal), std::move(up_to_date),
                                 std::move(serials));
                      });
  } catch (nb::ErrorCode code) {
    boost::asio::post(controller_service_, [code] { on_update_error(code); });
  } catch (const std::exception& e) {
    UPD_LOG(log_error, text_from_exception(e));
    boost::asio::post(controller_service_,
                      [code = code_from_exception(&e)] { on_update_error(code); });
  }
}

}  // namespace upd
