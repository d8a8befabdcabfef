#include "platform/basalt/httpResponse.h"

namespace Basalt::Http {

Response::~Response() = default;

}  // namespace Basalt::Http
