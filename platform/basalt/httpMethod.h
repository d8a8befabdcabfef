// HTTP request methods as the runtime's HTTP service reports them.
#pragma once

namespace Basalt::Http {

enum class Method { GET, HEAD, POST, PUT, DELETE_, TRACE, OPTIONS, CONNECT, PATCH, UNKNOWN };

// "GET" ... "PATCH", and "UNKNOWN" for any other method.
const char* MethodName(Method method);

}  // namespace Basalt::Http
