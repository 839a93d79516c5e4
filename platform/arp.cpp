#include "platform/arp.h"

#include <errno.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

namespace torvane {
namespace {

constexpr int kAckTimeoutMs = 1000;

std::atomic<uint32_t> g_netlinkSeq{1};

struct NeighRequest {
  struct nlmsghdr header;
  struct ndmsg body;
  char attributes[64];
};

// Appends one attribute to req; the buffer is sized for the two we use.
void AddAttribute(NeighRequest* req, uint16_t type, const void* value, size_t len) {
  size_t at = NLMSG_ALIGN(req->header.nlmsg_len);
  struct rtattr* rta = reinterpret_cast<struct rtattr*>(reinterpret_cast<char*>(req) + at);
  rta->rta_type = type;
  rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
  memcpy(RTA_DATA(rta), value, len);
  req->header.nlmsg_len = static_cast<uint32_t>(at + RTA_ALIGN(rta->rta_len));
}

// NLMSG_OK without its comparison of a signed length with the unsigned
// message length: the length is known to be positive there.
bool MessageFits(const struct nlmsghdr* h, int left) {
  return left >= static_cast<int>(sizeof(struct nlmsghdr)) &&
         h->nlmsg_len >= sizeof(struct nlmsghdr) && h->nlmsg_len <= static_cast<unsigned>(left);
}

// Reads datagrams until the kernel's answer to seq; returns its error
// (0 for success) or the errno of a failed receive.
int AwaitAck(int fd, uint32_t seq) {
  alignas(struct nlmsghdr) char buf[8192];
  for (int rounds = 0; rounds < 16; ++rounds) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // Signed, so that NLMSG_NEXT past a short last message ends the walk
    // instead of wrapping to a huge length.
    int left = static_cast<int>(n);
    for (struct nlmsghdr* h = reinterpret_cast<struct nlmsghdr*>(buf); MessageFits(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type != NLMSG_ERROR) continue;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct nlmsgerr))) return EPROTO;
      const struct nlmsgerr* err = static_cast<const struct nlmsgerr*>(NLMSG_DATA(h));
      return -err->error;
    }
  }
  return ETIMEDOUT;
}

int Transact(NeighRequest* req) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return errno;
  struct timeval tv;
  tv.tv_sec = kAckTimeoutMs / 1000;
  tv.tv_usec = (kAckTimeoutMs % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  struct sockaddr_nl local;
  memset(&local, 0, sizeof(local));
  local.nl_family = AF_NETLINK;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  uint32_t seq = g_netlinkSeq.fetch_add(1);
  req->header.nlmsg_seq = seq;
  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  int result;
  if (sendto(fd, req, req->header.nlmsg_len, 0, reinterpret_cast<struct sockaddr*>(&kernel),
             sizeof(kernel)) < 0) {
    result = errno;
  } else {
    result = AwaitAck(fd, seq);
  }
  close(fd);
  return result;
}

void InitRequest(NeighRequest* req, uint16_t type, uint16_t flags, uint32_t ifindex,
                 uint16_t state) {
  memset(req, 0, sizeof(*req));
  req->header.nlmsg_len = NLMSG_LENGTH(sizeof(struct ndmsg));
  req->header.nlmsg_type = type;
  req->header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
  req->body.ndm_family = AF_INET;
  req->body.ndm_ifindex = static_cast<int>(ifindex);
  req->body.ndm_state = state;
}

}  // namespace

int SetStaticArpEntry(uint32_t ifindex, uint32_t ip, const uint8_t mac[6]) {
  if (mac == nullptr) return EINVAL;
  NeighRequest req;
  InitRequest(&req, RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, ifindex, NUD_PERMANENT);
  AddAttribute(&req, NDA_DST, &ip, 4);
  AddAttribute(&req, NDA_LLADDR, mac, 6);
  return Transact(&req);
}

int DeleteArpEntry(uint32_t ifindex, uint32_t ip) {
  NeighRequest req;
  InitRequest(&req, RTM_DELNEIGH, 0, ifindex, 0);
  AddAttribute(&req, NDA_DST, &ip, 4);
  return Transact(&req);
}

}  // namespace torvane
