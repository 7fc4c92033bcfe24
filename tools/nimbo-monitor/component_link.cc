#include "component_link.h"

#include <boost/asio/error.hpp>

namespace upd::monitor {

component_link_t::component_link_t(component_events_t& events)
    : cf_basic_ipc_link_t(max_message_size), events_(events) {}

void component_link_t::start(boost::asio::io_context& io, int fd, const nb::UpdateConfig& config) {
  using socket_t = boost::asio::local::stream_protocol::socket;
  cf_basic_ipc_link_t::start(std::make_shared<socket_t>(io, boost::asio::local::stream_protocol(), fd));
  nb::Configd2UpdateMessage message;
  message.set_tag(nb::Configd2UpdateMessage::USE_CONTEXT);
  *message.mutable_config() = config;
  async_send_message(message);
}

void component_link_t::close() {
  closed_ = true;
  if (is_open()) socket()->close();
}

void component_link_t::handle_message(google::protobuf::io::ZeroCopyInputStream& input) {
  nb::Update2ConfigdMessage message;
  if (!message.ParseFromZeroCopyStream(&input)) return violation("a message from the component does not parse");
  switch (message.tag()) {
    case nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION:
      if (!message.has_check() && !message.has_download())
        return violation("a progress notification carries no progress");
      if (message.has_check()) events_.check_progress(message.check());
      if (message.has_download()) events_.download_progress(message.download());
      return;
    case nb::Update2ConfigdMessage::STAT_NOTIFICATION:
      if (!message.has_stat()) return violation("a statistics notification carries no statistics");
      events_.stat(message.stat());
      return;
    case nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST: {
      if (!message.has_install()) return violation("an installation request carries no request");
      if (installed_) return violation("a second installation request");
      installed_ = true;
      nb::Configd2UpdateMessage answer;
      answer.set_tag(nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
      if (auto error = events_.install(message.install())) *answer.mutable_error() = *error;
      if (is_open()) async_send_message(answer);
      return;
    }
  }
  violation("a message with tag " + std::to_string(message.tag()));
}

void component_link_t::handle_error(const boost::system::error_code& error) {
  if (closed_) return;
  closed_ = true;
  if (is_open()) socket()->close();
  // The component ending, even while an answer was on its way, is a normal
  // close: its exit status tells how it went.
  const bool ended = error == boost::asio::error::eof || error == boost::asio::error::broken_pipe ||
                     error == boost::asio::error::connection_reset;
  events_.link_closed(ended ? std::string() : error.message());
}

void component_link_t::violation(const std::string& problem) {
  if (closed_) return;
  close();
  events_.link_closed("protocol violation: " + problem);
}

}  // namespace upd::monitor
