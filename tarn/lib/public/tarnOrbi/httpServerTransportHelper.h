// Adapts one HTTP exchange to the framework's frame transport: the request body is read as one
// frame (within a size limit) and each answer frame is written as the response body. The first
// read takes at most kReadStep bytes; then the room for a body of announced length doubles with
// what has come, and the frame ends as soon as that length has come. Each adapter handles one
// frame at a time; it is not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/basalt/httpRequest.h"
#include "platform/basalt/httpResponse.h"
#include "platform/orbi/transport.h"
#include "tarnOrbi/basaltWrapLogger.h"

namespace TarnOrbi {

namespace ServerDetail {
struct ReadFromBody;
struct SendAsBody;

// A failed transfer: the HTTP status to answer and the failure's text.
struct TransferFailure {
  int status;
  std::string text;
};

// What both adapters share: the framework logger, the records of their life and of each frame,
// and the busy flag of the frame in progress.
class FrameAdapter {
 public:
  FrameAdapter(const FrameAdapter&) = delete;
  FrameAdapter& operator=(const FrameAdapter&) = delete;

 protected:
  // `name` ("Recv" or "Send") names the adapter in its records; `failedId` is the message id of
  // its transport errors. Both are static strings.
  FrameAdapter(const char* name, const char* failedId,
               std::shared_ptr<const Orbi::Core::Logger> logger);
  ~FrameAdapter();

  // Logs the frame's start and marks the adapter busy. A frame while another is in progress
  // would take over the first one's state: it is refused, with `done` called at once.
  bool BeginFrame(const void* buffer, const Orbi::Transport::FrameCb& done);
  // Logs the frame's end, clears the busy flag and gives the outcome for the protocol layer.
  std::shared_ptr<const Orbi::Data::ErrorValue> EndFrame(
      const void* buffer, const std::optional<TransferFailure>& failure);

 private:
  const char* name_;
  const char* failedId_;
  std::shared_ptr<const Orbi::Core::Logger> logger_;
  bool busy_ = false;
};
}  // namespace ServerDetail

template <class Policy>
class HttpServerTransportHelper;

template <>
class HttpServerTransportHelper<ServerDetail::ReadFromBody> final
    : public Orbi::Transport::FrameReceiver,
      private ServerDetail::FrameAdapter {
 public:
  static constexpr size_t kReadStep = 4096;

  static std::shared_ptr<HttpServerTransportHelper> Create(
      std::shared_ptr<Basalt::Http::Request> request,
      std::shared_ptr<const Orbi::Core::Logger> logger, int32_t maxRequestSize);
  ~HttpServerTransportHelper() override;

  void HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                   Orbi::Transport::FrameCb done) override;

  HttpServerTransportHelper(std::shared_ptr<Basalt::Http::Request> request,
                            std::shared_ptr<const Orbi::Core::Logger> logger, int64_t maxSize);

 private:
  size_t NextStep() const;
  void ReadStep();
  void HandleFrameCb(std::optional<ServerDetail::TransferFailure> failure);

  std::weak_ptr<HttpServerTransportHelper> self_;
  std::shared_ptr<Basalt::Http::Request> request_;
  uint64_t bytesRead_ = 0;
  std::optional<uint64_t> announced_;  // the Content-Length, when there is one
  int64_t maxSize_;
  std::shared_ptr<Orbi::Transport::FrameBuffer> buffer_;
  Orbi::Transport::FrameCb done_;
};

template <>
class HttpServerTransportHelper<ServerDetail::SendAsBody> final
    : public Orbi::Transport::FrameSender,
      private ServerDetail::FrameAdapter {
 public:
  static std::shared_ptr<HttpServerTransportHelper> Create(
      std::shared_ptr<Basalt::Http::Response> response,
      std::shared_ptr<const Orbi::Core::Logger> logger);
  ~HttpServerTransportHelper() override;

  void HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                   Orbi::Transport::FrameCb done) override;
  void HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                   const Orbi::Transport::HeaderList& headers,
                   Orbi::Transport::FrameCb done) override;
  // Every answer is one frame, so whether it is the last changes nothing.
  void HandleFrame(std::shared_ptr<Orbi::Transport::FrameBuffer> buffer,
                   const Orbi::Transport::HeaderList& headers, bool lastFrame,
                   Orbi::Transport::FrameCb done) override;

  HttpServerTransportHelper(std::shared_ptr<Basalt::Http::Response> response,
                            std::shared_ptr<const Orbi::Core::Logger> logger);

 private:
  void HandleFrameCb(const Orbi::Transport::FrameBuffer* buffer,
                     std::optional<ServerDetail::TransferFailure> failure,
                     const Orbi::Transport::FrameCb& done);

  std::weak_ptr<HttpServerTransportHelper> self_;
  std::shared_ptr<Basalt::Http::Response> response_;
};

using HttpRecvHelper = HttpServerTransportHelper<ServerDetail::ReadFromBody>;
using HttpSendHelper = HttpServerTransportHelper<ServerDetail::SendAsBody>;

// The "system_error" value that carries an HTTP status to the request handler: "category"
// "http", "code" the status, "message" its reason text. Built and read only here.
std::shared_ptr<const Orbi::Data::ErrorValue> MakeTransportError(
    const char* messageId, const ServerDetail::TransferFailure& failure);

struct TransportErrorStatus {
  int code;
  std::string reason;
};
// The status a transport error carries; nothing for any other error.
std::optional<TransportErrorStatus> ReadTransportError(const Orbi::Data::ErrorValue& error);

}  // namespace TarnOrbi
