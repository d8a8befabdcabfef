#include "platform/basalt/httpRequest.h"

namespace Basalt::Http {

Request::~Request() = default;

}  // namespace Basalt::Http
