// A stand-in for nimbo-update that speaks the monitor protocol from a plan,
// so that nimbo-monitor can be tested before and apart from the real engine.
//
// Environment:
//   COM_NIMBO_MONITOR   the link's descriptor number, as the monitor sets it
//   FAKE_UPDATE_PLAN    a file of steps, one per line
//
// It first reads USE_CONTEXT, then carries out the steps:
//   send MESSAGE                               sends an Update2ConfigdMessage given in text format
//   request [INSTALL_REQUEST]                  sends the installation request (text format) and
//                                              waits for the answer
//   garbage                                    sends a frame that does not parse
//   signal-parent SIGNAL                       sends SIGNAL to the monitor, then waits to be ended
// After the last step it exits with the answer's error code, or 0; when the
// link fails, with the monitor-link status, as the real component does.
#include <signal.h>
#include <unistd.h>

#include <google/protobuf/text_format.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/fd_io.h"
#include "configd_update_ipc.pb.h"
#include "ipc/wire.h"

namespace {

int link_fd = -1;

void send_bytes(const std::string& bytes) { upd::write_all(link_fd, bytes.data(), bytes.size()); }

void send(const nb::Update2ConfigdMessage& message) {
  std::string frame(upd::frame_header_size, '\0');
  message.AppendToString(&frame);
  upd::encode_frame_length(reinterpret_cast<std::uint8_t*>(frame.data()),
                           static_cast<std::uint32_t>(frame.size() - upd::frame_header_size));
  send_bytes(frame);
}

nb::Configd2UpdateMessage receive() {
  std::uint8_t header[upd::frame_header_size];
  upd::read_all(link_fd, header, sizeof header);
  std::string body(upd::decode_frame_length(header), '\0');
  upd::read_all(link_fd, body.data(), body.size());
  nb::Configd2UpdateMessage message;
  if (!message.ParseFromString(body)) throw std::runtime_error("a message from the monitor does not parse");
  return message;
}

// Carries out the steps; returns the exit status.
int run(std::istream& plan) {
  if (receive().tag() != nb::Configd2UpdateMessage::USE_CONTEXT) return nb::EC_MONITOR_IPC_ERROR;
  int status = 0;
  for (std::string line; std::getline(plan, line);) {
    std::istringstream in(line);
    std::string step, rest;
    in >> step;
    std::getline(in >> std::ws, rest);
    nb::Update2ConfigdMessage message;
    if (step == "send" || step == "request") {
      message.set_tag(nb::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
      google::protobuf::Message* parsed = &message;
      if (step == "request") parsed = message.mutable_install();
      if (!google::protobuf::TextFormat::ParseFromString(rest, parsed)) return 125;
      send(message);
      if (step == "send") continue;
      const nb::Configd2UpdateMessage answer = receive();
      if (answer.tag() != nb::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE) return nb::EC_MONITOR_IPC_ERROR;
      status = answer.has_error() ? answer.error().code() : 0;
    } else if (step == "garbage") {
      send_bytes(std::string("\x02\x00\x00\x00\xff\xff", 6));
    } else if (step == "signal-parent") {
      ::kill(::getppid(), std::atoi(rest.c_str()));
      for (;;) ::pause();
    } else if (!step.empty()) {
      std::cerr << "fake-update: bad step: " << line << "\n";
      return 125;
    }
  }
  return status;
}

}  // namespace

int main() {
  link_fd = std::atoi(std::getenv("COM_NIMBO_MONITOR"));
  ::signal(SIGPIPE, SIG_IGN);  // a closed link shows up as an error, as in the real component
  std::ifstream plan(std::getenv("FAKE_UPDATE_PLAN"));
  try {
    return run(plan);
  } catch (const std::exception& e) {
    std::cerr << "fake-update: " << e.what() << std::endl;
    return nb::EC_MONITOR_IPC_ERROR;
  }
}
