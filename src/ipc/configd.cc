#include "ipc/configd.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/error.h"
#include "common/log.h"
#include "configd_update_ipc.pb.h"
#include "common/version.h"

namespace upd {

namespace {

// Asio adopts any descriptor, and a regular file or a datagram socket would
// only fail (or block) at the first read; refusing them here gives one clear
// error at the start.
void check_stream_socket(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw errno_error(errno, "assign");
  if (!S_ISSOCK(status.st_mode)) throw errno_error(ENOTSOCK, "assign");
  int domain = 0, type = 0;
  socklen_t length = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0)
    throw errno_error(errno, "assign");
  length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
    throw errno_error(errno, "assign");
  if (domain != AF_UNIX || type != SOCK_STREAM) throw errno_error(EPROTOTYPE, "assign");
}

std::string error_message_text(const nb::Configd2UpdateMessage& message) {
  if (!message.has_error()) return "OK";
  if (message.error().has_what()) return message.error().what();
  return error_text(message.error().code());
}

[[noreturn]] void protocol_fault(const std::string& text) {
  UPD_LOG(log_error, text);
  throw nb::EC_MONITOR_IPC_ERROR;
}

}  // namespace

configd_t::configd_t() : monitor_link_t(max_message_size_) {}

void configd_t::start(boost::asio::io_context& service, int fd, context_callback_t on_context) {
  check_stream_socket(fd);
  auto socket = std::make_shared<boost::asio::local::stream_protocol::socket>(service);
  socket->assign(boost::asio::local::stream_protocol(), fd);
  monitor_link_t::start(std::move(socket));
  on_context_ = std::move(on_context);
}

void configd_t::handle_message(google::protobuf::io::ZeroCopyInputStream& input) {
  nb::Configd2UpdateMessage message;
  // The partial parse keeps the protobuf library from logging a missing
  // required field on its own; the check below reports it as ours.
  if (!message.ParsePartialFromZeroCopyStream(&input) || !message.IsInitialized())
    protocol_fault("Invalid IPC message format");

  switch (message.tag()) {
    case nb::Configd2UpdateMessage::USE_CONTEXT:
      if (!message.has_config())
        protocol_fault("Monitor: USE_CONTEXT: argument check failed: message.has_config()");
      // An empty callback (a second USE_CONTEXT) throws boost::bad_function_call.
      on_context_(message.config());
      on_context_.clear();
      UPD_LOG(log_notice, "Update " << upd_version);
      return;
    case nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE:
      if (message.has_error()) {
        UPD_LOG(log_error, "Update installation: " << error_message_text(message));
        throw static_cast<nb::ErrorCode>(message.error().code());
      }
      on_installed_();
      on_installed_.clear();
      return;
  }
  const auto* value =
      nb::Configd2UpdateMessage::MessageTag_descriptor()->FindValueByNumber(message.tag());
  protocol_fault("Monitor: unexpected IPC message " +
                 (value ? value->name() : std::to_string(message.tag())));
}

void configd_t::handle_error(const boost::system::error_code& error) {
  UPD_LOG(log_error, "Monitor IPC error: " << error.message());
  throw nb::EC_MONITOR_IPC_ERROR;
}

configd_t::link_ptr configd_t::shared_this() { return shared_from_this(); }

void configd_t::install_updates(const std::vector<zone_item_t>& items, const path_set_t& to_remove,
                                const path_set_t& up_to_date, installed_callback_t on_installed) {
  on_installed_ = std::move(on_installed);
  nb::Update2ConfigdMessage message;
  message.set_tag(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
  nb::InstallRequest& request = *message.mutable_install();
  for (const auto& path : to_remove) request.add_to_remove(path.native());
  for (const auto& item : items) {
    nb::InstallItem& placed = *request.add_to_place();
    placed.set_source(item.source.native());
    placed.set_destination(item.destination.native());
    if (!item.sha256.empty()) placed.set_sha256(item.sha256);
  }
  for (const auto& path : up_to_date) request.add_up_to_date(path.native());
  UPD_LOG(log_debug, "Monitor: removed " << to_remove.size() << ", updated " << items.size()
                                         << ", up to date " << up_to_date.size());
  async_send_message(message);
}

void configd_t::check_progress_changed(const nb::UpdateCheckProgress& progress) {
  nb::Update2ConfigdMessage message;
  message.set_tag(nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
  *message.mutable_check() = progress;
  async_send_message(message);
}

void configd_t::download_progress_changed(const nb::UpdateDownloadProgress& progress) {
  nb::Update2ConfigdMessage message;
  message.set_tag(nb::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
  *message.mutable_download() = progress;
  async_send_message(message);
}

void configd_t::stat_ready(const nb::UpdateAppStat& stat) {
  nb::Update2ConfigdMessage message;
  message.set_tag(nb::Update2ConfigdMessage::STAT_NOTIFICATION);
  *message.mutable_stat() = stat;
  async_send_message(message);
}

}  // namespace upd
