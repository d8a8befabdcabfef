#include "platform/basalt/peerCredentials.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>
#include <utility>

#include "platform/basalt/uniqueDescriptor.h"

namespace Basalt::System {
namespace {

// Addresses go into the request in network order, as the kernel stores them.
void PutAddress(const boost::asio::ip::address& address, __be32 out[4]) {
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    std::memcpy(out, bytes.data(), bytes.size());
  } else {
    const auto bytes = address.to_v6().to_bytes();
    std::memcpy(out, bytes.data(), bytes.size());
  }
}

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

}  // namespace

std::optional<uint32_t> LookUpLoopbackPeerUid(const boost::asio::ip::tcp::endpoint& local,
                                              const boost::asio::ip::tcp::endpoint& remote) {
  const auto address = remote.address();
  if (!address.is_loopback() || address.is_v4() != local.address().is_v4()) return std::nullopt;

  UniqueDescriptor socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!socket) return std::nullopt;
  // The kernel answers at once; the bound only guards against a netlink layer that never does.
  const timeval timeout{1, 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

  DiagRequest message{};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = address.is_v4() ? AF_INET : AF_INET6;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0U;
  // The peer's socket: its source is our remote end, its destination our local one.
  message.request.id.idiag_sport = htons(remote.port());
  message.request.id.idiag_dport = htons(local.port());
  PutAddress(address, message.request.id.idiag_src);
  PutAddress(local.address(), message.request.id.idiag_dst);
  message.request.id.idiag_if = 0;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(socket.get(), &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) != static_cast<ssize_t>(sizeof(message))) {
    return std::nullopt;
  }

  alignas(nlmsghdr) char answer[8192];
  const ssize_t received = ::recv(socket.get(), answer, sizeof(answer), 0);
  if (received <= 0) return std::nullopt;
  // An exact query has one answer: the first message decides (NLMSG_OK's signed length is not
  // needed for that, and mixes signs).
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
  const auto size = static_cast<size_t>(received);
  if (size < sizeof(nlmsghdr) || header->nlmsg_len > size ||
      header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    return std::nullopt;  // NLMSG_ERROR: no such socket, or the query was refused
  }
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  // The kernel matches the 4-tuple exactly; checked again so a stray answer is never taken.
  if (found->id.idiag_sport != message.request.id.idiag_sport ||
      found->id.idiag_dport != message.request.id.idiag_dport ||
      std::memcmp(found->id.idiag_src, message.request.id.idiag_src, sizeof(found->id.idiag_src)) !=
          0) {
    return std::nullopt;
  }
  // A socket no process holds any more (closed, in TIME_WAIT) shows no inode, and its uid field
  // reads 0: it must not pass for root.
  if (found->idiag_inode == 0) return std::nullopt;
  return found->idiag_uid;
}

ConnectionPeer::ConnectionPeer(boost::asio::ip::tcp::endpoint local,
                               boost::asio::ip::tcp::endpoint remote)
    : local_(std::move(local)), remote_(std::move(remote)) {}

std::optional<uint32_t> ConnectionPeer::Uid() const {
  std::call_once(looked_, [this] { uid_ = LookUpLoopbackPeerUid(local_, remote_); });
  return uid_;
}

}  // namespace Basalt::System
