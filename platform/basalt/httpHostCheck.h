// Who may address the service: a request must name the host by a loopback name or address and
// must not come from a browser's page. A page can post to loopback without a preflight, and with
// DNS rebinding read the answer; it cannot choose its Host or drop its Origin. Checked once a
// request's headers are read and before any of its body. Internal to the HTTP service.
#pragma once

#include "platform/basalt/httpRequestHead.h"

namespace Basalt::Http {

struct HostRefusal {
  int status = 0;             // 0 when the request may go on
  const char* why = nullptr;  // for the log
};

// 400 for an HTTP/1.1 request without Host, or any request with more than one; 403 for a Host
// other than "localhost", "127.0.0.1" or "[::1]" (names in any case), each with or without a
// port, and for any request that carries an Origin header.
HostRefusal CheckHost(const RequestHead& head);

}  // namespace Basalt::Http
