// The daemon's HTTP layer alone, for bench/http_bench.sh: the same service, loops and answer
// headers as the daemon, answering every POST, once its body is read, with an answer of verify's
// size. What the daemon spends beyond this floor is spent above HTTP.
//
//     transport_floor CONFIG PORT
//
// CONFIG is a daemon configuration file (its http and log keys are read); it serves 127.0.0.1:PORT
// until SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "platform/basalt/app.h"
#include "platform/basalt/httpSvc.h"
#include "platform/basalt/systemFactory.h"

namespace {

using Basalt::Http::Request;
using Basalt::Http::Response;

constexpr const char* kAnswer = R"({"jsonrpc":"2.0","id":"1","result":{"output":"ann"}})";

struct BodyDrain : std::enable_shared_from_this<BodyDrain> {
  std::shared_ptr<Response> response;
  char piece[4096];

  void Next(const std::shared_ptr<Request>& request) {
    request->AsyncRead(piece, sizeof piece,
                       [self = shared_from_this()](std::shared_ptr<Request> request,
                                                   const std::error_code& error, size_t n) {
                         if (error) {
                           self->response->Answer(400, "Bad Request");
                         } else if (n > 0) {
                           self->Next(request);
                         } else {
                           self->response->SetContentType("application/json");
                           self->response->AsyncWrite(kAnswer, nullptr);
                         }
                       });
  }
};

class StaticAnswer : public Basalt::Http::RequestHandlerMixin {
 public:
  void HandlePost(std::shared_ptr<Request> request, std::shared_ptr<Response> response) override {
    auto drain = std::make_shared<BodyDrain>();
    drain->response = std::move(response);
    drain->Next(request);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CONFIG PORT\n", argv[0]);
    return 2;
  }
  try {
    Basalt::Service::InitApp(argv[1]);
    auto app = Basalt::Service::GetApp();
    auto socket = Basalt::System::GetSystemFactory().CreateTCPServerSocket();
    socket->Bind("127.0.0.1", static_cast<uint16_t>(std::atoi(argv[2])));
    auto headers = Basalt::Http::GetDefaultResponseHeadersDefinitions();
    headers.emplace_back("Server", "transport-floor");  // as long as the daemon's
    auto svc = Basalt::Http::CreateHttpSvc(
        socket, Basalt::Service::Logger::CreateLogger("TransportFloor"), headers);
    svc->SetRequestHandler(std::make_shared<StaticAnswer>());
    svc->Start();
    app->Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transport_floor: %s\n", e.what());
    return 1;
  }
  return 0;
}
