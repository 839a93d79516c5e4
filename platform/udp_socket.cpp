#include "platform/udp_socket.h"

#include <errno.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef SO_BINDTOIFINDEX
#define SO_BINDTOIFINDEX 62
#endif
#ifndef IP_MULTICAST_ALL
#define IP_MULTICAST_ALL 49
#endif

namespace torvane {
namespace {

bool SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

bool BindToInterface(int fd, uint32_t ifindex) {
  int index = static_cast<int>(ifindex);
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &index, sizeof(index)) == 0) return true;
  if (errno != ENOPROTOOPT) return false;
  char name[IF_NAMESIZE];
  if (if_indextoname(ifindex, name) == nullptr) return false;
  return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, strlen(name) + 1) == 0;
}

// Asks for a receive buffer of kEngineReceiveBuffer bytes; beyond
// net.core.rmem_max only a privileged process gets it (SO_RCVBUFFORCE).
// A smaller buffer is not an error.
void GrowReceiveBuffer(int fd) {
  if (SetIntOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, kEngineReceiveBuffer)) return;
  SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, kEngineReceiveBuffer);
}

UdpOpenResult Fail(int fd, UdpOpenStep step) {
  UdpOpenResult result;
  result.error = errno;
  result.failedStep = step;
  if (fd >= 0) close(fd);
  return result;
}

}  // namespace

UdpOpenResult OpenUdpSocket(const UdpSocketParams& params) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(-1, UdpOpenStep::kCreate);

  bool broadcast = params.kind == kSocketBroadcast || params.kind == kSocketTftp;
  if (broadcast && !SetIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1))
    return Fail(fd, UdpOpenStep::kOption);
  if (!SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) return Fail(fd, UdpOpenStep::kOption);
  if (!BindToInterface(fd, params.ifindex)) return Fail(fd, UdpOpenStep::kOption);
  if (!SetIntOption(fd, IPPROTO_IP, IP_PKTINFO, 1)) return Fail(fd, UdpOpenStep::kOption);
  if (!SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0)) return Fail(fd, UdpOpenStep::kOption);
  GrowReceiveBuffer(fd);

  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(params.port);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0)
    return Fail(fd, UdpOpenStep::kBind);

  if (params.kind == kSocketMulticast) {
    struct ip_mreqn req;
    memset(&req, 0, sizeof(req));
    req.imr_multiaddr.s_addr = params.group;
    req.imr_address.s_addr = params.localAddr;
    req.imr_ifindex = static_cast<int>(params.ifindex);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) != 0)
      return Fail(fd, UdpOpenStep::kMembership);
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof(req)) != 0)
      return Fail(fd, UdpOpenStep::kMembership);
  }

  UdpOpenResult result;
  result.fd = fd;
  return result;
}

void CloseUdpSocket(int fd) {
  if (fd >= 0) close(fd);
}

int SendDatagramFrom(int fd, uint32_t srcAddr, uint32_t ifindex, uint32_t dest, uint16_t port,
                     const void* data, size_t len) {
  if (fd < 0) return EBADF;
  struct sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = dest;
  to.sin_port = htons(port);

  struct iovec iov;
  iov.iov_base = const_cast<void*>(data);
  iov.iov_len = len;

  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in_pktinfo))];
  memset(control, 0, sizeof(control));
  struct msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_name = &to;
  msg.msg_namelen = sizeof(to);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_level = IPPROTO_IP;
  cmsg->cmsg_type = IP_PKTINFO;
  cmsg->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
  struct in_pktinfo info;
  memset(&info, 0, sizeof(info));
  info.ipi_ifindex = static_cast<int>(ifindex);
  info.ipi_spec_dst.s_addr = srcAddr;
  memcpy(CMSG_DATA(cmsg), &info, sizeof(info));

  ssize_t sent;
  do {
    sent = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? errno : 0;
}

UdpReceiveResult ReceiveDatagram(int fd, void* buf, size_t cap, struct sockaddr_in* from,
                                 socklen_t* fromLen) {
  UdpReceiveResult result;
  struct iovec iov;
  iov.iov_base = buf;
  iov.iov_len = cap;
  alignas(struct cmsghdr) char control[256];
  struct msghdr msg;
  memset(&msg, 0, sizeof(msg));
  msg.msg_name = from;
  msg.msg_namelen = *fromLen;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);

  // MSG_TRUNC makes the call return the datagram's real length, so that an
  // oversized datagram is recognised instead of being taken in part.
  ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    result.error = errno;
    return result;
  }
  *fromLen = msg.msg_namelen;
  result.length = static_cast<size_t>(n);
  result.truncated = result.length > cap || (msg.msg_flags & MSG_TRUNC) != 0;
  for (struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg); cmsg != nullptr;
       cmsg = CMSG_NXTHDR(&msg, cmsg)) {
    if (cmsg->cmsg_level == IPPROTO_IP && cmsg->cmsg_type == IP_PKTINFO &&
        cmsg->cmsg_len >= CMSG_LEN(sizeof(struct in_pktinfo))) {
      struct in_pktinfo info;
      memcpy(&info, CMSG_DATA(cmsg), sizeof(info));
      result.destAddr = info.ipi_addr.s_addr;
      result.answerAddr = info.ipi_spec_dst.s_addr;
    }
  }
  return result;
}

}  // namespace torvane
