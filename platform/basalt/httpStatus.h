// Reason texts of the HTTP statuses the runtime sends.
#pragma once

#include <string>

namespace Basalt::Http {

// "OK", "Bad Request", "Internal Server Error", ...; "Unknown" for a status without a text.
std::string ReasonText(int status);

}  // namespace Basalt::Http
