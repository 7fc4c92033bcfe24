#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace upd::testing {

fault_proxy_t::fault_proxy_t(std::uint16_t upstream_port, std::uint64_t cut_every)
    : upstream_port_(upstream_port), cut_every_(cut_every), server_([this](fake_peer_t& peer) { relay(peer); }) {}

void fault_proxy_t::relay(fake_peer_t& peer) {
  std::string head = peer.read_head();
  // One request a connection: the server's answer says so and ends it.
  if (head.size() >= 2) head.insert(head.size() - 2, "Connection: close\r\n");
  const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(upstream_port_);
  std::string buffer(64 * 1024, '\0');
  std::uint64_t this_connection = 0;
  bool open = ::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::send(upstream, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
  while (open) {
    std::uint64_t room = buffer.size();
    if (cut_every_) room = std::min(room, cut_every_ - this_connection);
    if (room == 0) break;
    const ssize_t n = ::recv(upstream, buffer.data(), room, 0);
    open = n > 0 && peer.send(buffer.substr(0, static_cast<std::size_t>(n)));
    this_connection += open ? static_cast<std::uint64_t>(n) : 0;
    passed_ += open ? static_cast<std::uint64_t>(n) : 0;
  }
  ::close(upstream);
}

}  // namespace upd::testing
