// When a connection may carry the next request. On a link with a long
// round trip a new connection costs one more round trip (two more for a
// TLS handshake, three behind a proxy's tunnel) than the request itself,
// so a connection stays open after an answer whose end it knows and whose
// server does not close it, and the next request to the same place (the
// same server, or the same proxy in the clear) goes over it.
//
// A connection ends after an answer that says "Connection: close", an
// HTTP/1.0 answer without "Connection: keep-alive", a body that ends at the
// close, and any failed transfer: what is left on such a connection is of
// no known state. A refused answer (a 404, a 407) with a short body of known
// end is read past and keeps the connection, as a missing packed form or a
// proxy's challenge is routine. A server may close an idle connection at any time, and the
// request then finds it closed before any byte of the answer: that request
// (a GET, which may be repeated) is sent once more on a new connection.
// Any other failure on a reused connection counts as it would on a new one.
#pragma once

#include <string>

#include "http/http_message.h"
#include "http/tls_check.h"

namespace upd {

// Where a connection leads: two requests with the same route may share one.
struct connection_route_t {
  int mode = 0;  // http_connection_t::mode_t
  std::string host;
  std::string service;
  // The settings of the proxy through which the connection goes (a tunnel
  // was opened with its credentials), and the TLS check its handshake passed.
  std::string proxy;
  tls_check_t tls_check;

  bool operator==(const connection_route_t& other) const;
};

// Whether the server keeps the connection open after this answer, whose
// body has a known end.
bool keeps_connection(const http_response_t& head);

}  // namespace upd
