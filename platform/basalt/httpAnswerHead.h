// An answer as an exchange builds it, and the status line and header fields the connection writes
// for it, so that head and body go out in one gathered write. The head is byte for byte what
// Beast's serializer writes for the same message (but no Content-Length where HTTP forbids one),
// without a field container or its allocations.
// Internal to the HTTP service.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/basalt/httpSettings.h"

namespace Basalt::Http {

// Not synchronized: the exchange guards it while it is built, and hands it over once.
struct AnswerMessage {
  unsigned status = 200;
  std::string reason;  // empty: the status's standard text
  // What the handler set, in the order set; each name once, compared without case.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Replaces a header of that name, which then comes last. The caller has refused line breaks.
  void Set(std::string_view name, std::string_view value);
  bool Has(std::string_view name) const;
};

// True for the statuses that never carry a body or a Content-Length (1xx, 204, 304).
bool IsBodiless(unsigned status);

// Replaces `out`'s text, keeping its capacity for the next answer: "HTTP/1.1", the handler's
// headers, each of `defaults` the handler did not set, "Connection: close" unless `keepAlive`,
// and the Content-Length of the body.
void FormatAnswerHead(const AnswerMessage& answer, const ResponseHeaderDefinitions& defaults,
                      bool keepAlive, std::string& out);

}  // namespace Basalt::Http
