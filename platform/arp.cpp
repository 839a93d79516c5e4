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
#include <new>
#include <vector>

namespace torvane {
namespace {

constexpr int kAckTimeoutMs = 1000;

std::atomic<uint32_t> g_netlinkSeq{1};

struct NeighRequest {
  struct nlmsghdr header;
  struct ndmsg body;
  char attributes[64];  // room for the three attributes we use
};

// Appends one attribute to req; the buffer is sized for the three we use.
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

// Opens a bound NETLINK_ROUTE socket with the answer time limit; returns
// the descriptor or -errno.
int OpenNetlink() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -errno;
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
    return -err;
  }
  return fd;
}

// Sends req with a fresh sequence number; returns 0 or an errno.
int SendRequest(int fd, struct nlmsghdr* header, uint32_t* seq) {
  *seq = g_netlinkSeq.fetch_add(1);
  header->nlmsg_seq = *seq;
  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, header, header->nlmsg_len, 0, reinterpret_cast<struct sockaddr*>(&kernel),
             sizeof(kernel)) < 0)
    return errno;
  return 0;
}

int Transact(NeighRequest* req) {
  int fd = OpenNetlink();
  if (fd < 0) return -fd;
  uint32_t seq = 0;
  int result = SendRequest(fd, &req->header, &seq);
  if (result == 0) result = AwaitAck(fd, seq);
  close(fd);
  return result;
}

// Reads one RTM_NEWNEIGH message into *out; false when it is not an IPv4
// entry or is malformed.
bool ParseNeighbour(const struct nlmsghdr* h, NeighbourEntry* out) {
  if (h->nlmsg_type != RTM_NEWNEIGH || h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ndmsg)))
    return false;
  const struct ndmsg* nd = static_cast<const struct ndmsg*>(NLMSG_DATA(h));
  if (nd->ndm_family != AF_INET) return false;
  NeighbourEntry entry;
  entry.ifindex = static_cast<uint32_t>(nd->ndm_ifindex);
  entry.state = nd->ndm_state;
  bool hasDst = false;
  int left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(struct ndmsg)));
  for (const struct rtattr* rta = reinterpret_cast<const struct rtattr*>(
           reinterpret_cast<const char*>(nd) + NLMSG_ALIGN(sizeof(struct ndmsg)));
       RTA_OK(rta, left); rta = RTA_NEXT(rta, left)) {
    size_t len = RTA_PAYLOAD(rta);
    if (rta->rta_type == NDA_DST && len == 4) {
      memcpy(&entry.ip, RTA_DATA(rta), 4);
      hasDst = true;
    } else if (rta->rta_type == NDA_LLADDR && len == 6) {
      memcpy(entry.mac, RTA_DATA(rta), 6);
      entry.hasMac = true;
    } else if (rta->rta_type == NDA_PROTOCOL && len >= 1) {
      entry.protocol = *static_cast<const uint8_t*>(RTA_DATA(rta));
    }
  }
  if (!hasDst) return false;
  *out = entry;
  return true;
}

// Reads the answers to a dump request until its end.
int ReadDump(int fd, uint32_t seq, std::vector<NeighbourEntry>* out) {
  alignas(struct nlmsghdr) char buf[32768];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EPROTO;
    int left = static_cast<int>(n);
    for (struct nlmsghdr* h = reinterpret_cast<struct nlmsghdr*>(buf); MessageFits(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) return 0;
      if (h->nlmsg_type == NLMSG_ERROR) {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct nlmsgerr))) return EPROTO;
        int err = -static_cast<const struct nlmsgerr*>(NLMSG_DATA(h))->error;
        return err != 0 ? err : EPROTO;
      }
      NeighbourEntry entry;
      if (ParseNeighbour(h, &entry)) out->push_back(entry);
    }
  }
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

bool NeighbourEntryInUse(const NeighbourEntry& entry) {
  return (entry.state & (NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_STALE | NUD_DELAY |
                         NUD_PROBE)) != 0;
}

bool IsLearnedEntryOf(const NeighbourEntry& entry, const uint8_t mac[6]) {
  return (entry.state & (NUD_PERMANENT | NUD_NOARP)) == 0 && entry.hasMac && mac != nullptr &&
         memcmp(entry.mac, mac, 6) == 0;
}

bool IsOwnStaticEntry(const NeighbourEntry& entry) {
  return (entry.state & NUD_PERMANENT) != 0 && entry.hasMac &&
         (entry.protocol == 0 || entry.protocol == kOwnNeighbourProtocol);
}

int SetStaticArpEntry(uint32_t ifindex, uint32_t ip, const uint8_t mac[6]) {
  if (mac == nullptr) return EINVAL;
  NeighRequest req;
  InitRequest(&req, RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, ifindex, NUD_PERMANENT);
  AddAttribute(&req, NDA_DST, &ip, 4);
  AddAttribute(&req, NDA_LLADDR, mac, 6);
  uint8_t protocol = kOwnNeighbourProtocol;
  AddAttribute(&req, NDA_PROTOCOL, &protocol, 1);
  return Transact(&req);
}

int ListArpEntries(std::vector<NeighbourEntry>* out) {
  if (out == nullptr) return EINVAL;
  out->clear();
  struct {
    struct nlmsghdr header;
    struct ndmsg body;
  } req;
  memset(&req, 0, sizeof(req));
  req.header.nlmsg_len = NLMSG_LENGTH(sizeof(struct ndmsg));
  req.header.nlmsg_type = RTM_GETNEIGH;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.body.ndm_family = AF_INET;
  int fd = OpenNetlink();
  if (fd < 0) return -fd;
  uint32_t seq = 0;
  int result = SendRequest(fd, &req.header, &seq);
  if (result == 0) {
    try {
      result = ReadDump(fd, seq, out);
    } catch (const std::bad_alloc&) {
      result = ENOMEM;
    }
  }
  close(fd);
  return result;
}

int FindArpEntry(uint32_t ifindex, uint32_t ip, NeighbourEntry* out) {
  std::vector<NeighbourEntry> all;
  int err = ListArpEntries(&all);
  if (err != 0) return err;
  for (const NeighbourEntry& entry : all) {
    if (entry.ifindex != ifindex || entry.ip != ip) continue;
    if (out != nullptr) *out = entry;
    return 0;
  }
  return ENOENT;
}

int DeleteArpEntry(uint32_t ifindex, uint32_t ip) {
  NeighRequest req;
  InitRequest(&req, RTM_DELNEIGH, 0, ifindex, 0);
  AddAttribute(&req, NDA_DST, &ip, 4);
  return Transact(&req);
}

}  // namespace torvane
