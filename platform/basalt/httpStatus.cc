#include "platform/basalt/httpStatus.h"

#include <boost/beast/http/status.hpp>
#include <ostream>  // needed by the Beast header below

namespace Basalt::Http {

std::string ReasonText(int status) {
  if (status < 100 || status > 599) return "Unknown";
  auto text = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(status));
  return text.empty() || text == "<unknown-status>" ? "Unknown" : std::string(text);
}

}  // namespace Basalt::Http
