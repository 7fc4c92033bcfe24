// The monitor's side of the link to the component: frames of
// Update2ConfigdMessage in, Configd2UpdateMessage out (USE_CONTEXT, then one
// INSTALL_UPDATES_RESPONSE per installation request).
//
// Each message received is parsed and handed to the events object. A message
// that does not parse, lacks the part its tag needs, or is a second
// installation request is a protocol violation: the link closes, which ends
// the component with a monitor-link error. The end of the link (the
// component closed it or exited) is reported once through link_closed.
//
// Owned by shared pointers (pending I/O keeps it alive); runs on the
// monitor's event loop, like the events object it calls.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <memory>
#include <optional>
#include <string>

#include "configd_update_ipc.pb.h"
#include "ipc/ipc_link.h"

namespace upd::monitor {

class component_events_t {
 public:
  virtual void check_progress(const nb::UpdateCheckProgress& progress) = 0;
  virtual void download_progress(const nb::UpdateDownloadProgress& progress) = 0;
  virtual void stat(const nb::UpdateAppStat& stat) = 0;
  // Installs the request; the answer's error, if any, goes back to the component.
  virtual std::optional<nb::Error> install(const nb::InstallRequest& request) = 0;
  // The link has ended: `problem` is empty when the component closed it,
  // otherwise it says what went wrong.
  virtual void link_closed(const std::string& problem) = 0;

 protected:
  ~component_events_t() = default;
};

class component_link_t : public std::enable_shared_from_this<component_link_t>,
                         public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket> {
 public:
  // The component's limit on one message.
  static constexpr std::uint32_t max_message_size = 67108864;

  explicit component_link_t(component_events_t& events);

  // Adopts the connected descriptor, starts reading and sends USE_CONTEXT.
  void start(boost::asio::io_context& io, int fd, const nb::UpdateConfig& config);
  // Closes the link; nothing more is delivered.
  void close();

 protected:
  void handle_message(google::protobuf::io::ZeroCopyInputStream& input) override;
  void handle_error(const boost::system::error_code& error) override;
  link_ptr shared_this() override { return shared_from_this(); }

 private:
  void violation(const std::string& problem);

  component_events_t& events_;
  bool installed_ = false;
  bool closed_ = false;
};

}  // namespace upd::monitor
