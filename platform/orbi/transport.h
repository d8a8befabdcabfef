// Frame transports: how the protocol layer receives a request frame and sends answer frames.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/orbi/frameBuffer.h"
#include "platform/orbi/values.h"

namespace Orbi::Transport {

using HeaderList = std::vector<std::pair<std::string, std::string>>;
// Called once: a null error means the frame is in the buffer (receive) or written (send).
using FrameCb = std::function<void(std::shared_ptr<const Data::ErrorValue> error)>;

class FrameReceiver {
 public:
  virtual ~FrameReceiver() = default;
  virtual void HandleFrame(std::shared_ptr<FrameBuffer> buffer, FrameCb done) = 0;
};

// A frame handed to a sender is the sender's: it may take the bytes out (FrameBuffer::Take).
class FrameSender {
 public:
  virtual ~FrameSender() = default;
  virtual void HandleFrame(std::shared_ptr<FrameBuffer> buffer, FrameCb done) = 0;
  virtual void HandleFrame(std::shared_ptr<FrameBuffer> buffer, const HeaderList& headers,
                           FrameCb done) = 0;
  virtual void HandleFrame(std::shared_ptr<FrameBuffer> buffer, const HeaderList& headers,
                           bool lastFrame, FrameCb done) = 0;
};

}  // namespace Orbi::Transport
