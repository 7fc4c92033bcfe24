// The component's side of the monitor protocol, over the inherited socket.
//
// In: USE_CONTEXT (the configuration, once) and INSTALL_UPDATES_RESPONSE.
// Out: progress and statistics notifications, and one INSTALL_UPDATES_REQUEST.
// Every protocol fault is logged once at Error and thrown as
// EC_MONITOR_IPC_ERROR out of the event loop; an installation answered with
// an error is thrown as the monitor's code.
//
// Owned by shared pointers (the controller's and those of pending I/O).
// Everything runs on the controller's event-loop thread; progress_t calls the
// watcher operations there, with its own lock held, so they only queue a
// message and never call back.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/function.hpp>
#include <memory>
#include <vector>

#include "ipc/ipc_link.h"
#include "ipc/progress_watcher.h"
#include "common/zone_item.h"
#include "update_config.pb.h"

namespace upd {

using monitor_link_t = cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket>;

class configd_t : public std::enable_shared_from_this<configd_t>,
                  public monitor_link_t,
                  public progress_watcher_t {
 public:
  static constexpr std::uint32_t max_message_size_ = 67108864;

  using context_callback_t = boost::function<void(const nb::UpdateConfig&)>;
  using installed_callback_t = boost::function<void()>;

  configd_t();

  // Adopts the connected descriptor (a system error "assign" when it is not
  // an open Unix stream socket) and starts reading. on_context is called for
  // the first USE_CONTEXT only.
  void start(boost::asio::io_context& service, int fd, context_callback_t on_context);

  // Sends the installation request; on_installed runs when the monitor
  // confirms it. Only each item's source and destination are read.
  void install_updates(const std::vector<zone_item_t>& items, const path_set_t& to_remove,
                       const path_set_t& up_to_date, installed_callback_t on_installed);

  void check_progress_changed(const nb::UpdateCheckProgress& progress) override;
  void download_progress_changed(const nb::UpdateDownloadProgress& progress) override;
  void stat_ready(const nb::UpdateAppStat& stat) override;

 protected:
  void handle_message(google::protobuf::io::ZeroCopyInputStream& input) override;
  void handle_error(const boost::system::error_code& error) override;
  link_ptr shared_this() override;

 private:
  context_callback_t on_context_;
  installed_callback_t on_installed_;
};

}  // namespace upd
