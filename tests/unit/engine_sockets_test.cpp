// Tests of the engine's sockets on real interfaces.
//
// Each test forks a child that moves into network namespaces of its own:
// namespace A holds the engine and veth interfaces ea0, eb0, ...; their
// peers sw0, sw1, ... sit in namespace B, where the test plays the switches.
// Nothing is sent in the namespace the test binary runs in, and both
// namespaces vanish with the child. The tests need root (CAP_SYS_ADMIN and
// CAP_NET_ADMIN) and are skipped without it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/adapters.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/settings.h"

namespace torvane {
namespace {

constexpr uint16_t kP = 64513;
constexpr uint32_t kCookie = 0x0A0B0C0D;
const char kGroup[] = "239.255.255.100";
const uint8_t kMacEa0[6] = {0x02, 0x00, 0x00, 0x00, 0x0a, 0x01};
const uint8_t kMacEb0[6] = {0x02, 0x00, 0x00, 0x00, 0x0b, 0x01};

uint32_t Ip(const char* text) { return inet_addr(text); }

// Failures collected in the child, reported to the parent through a pipe.
std::string* g_failures = nullptr;

#define NS_CHECK(cond)                                                         \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::ostringstream os_;                                                  \
      os_ << __FILE__ << ":" << __LINE__ << ": " << #cond << "\n";             \
      *g_failures += os_.str();                                                \
    }                                                                          \
  } while (0)

#define NS_CHECK_EQ(a, b)                                                      \
  do {                                                                         \
    auto va_ = (a);                                                            \
    auto vb_ = (b);                                                            \
    if (!(va_ == vb_)) {                                                       \
      std::ostringstream os_;                                                  \
      os_ << __FILE__ << ":" << __LINE__ << ": " << #a << " == " << #b         \
          << " (" << va_ << " vs " << vb_ << ")\n";                            \
      *g_failures += os_.str();                                                \
    }                                                                          \
  } while (0)

bool Sh(const std::string& cmd) {
  int rc = system((cmd + " >/dev/null").c_str());
  if (rc != 0) *g_failures += "command failed: " + cmd + "\n";
  return rc == 0;
}

// The two namespaces of a test child.
struct Netns {
  int fdA = -1;
  int fdB = -1;
  std::string pathB;  // names namespace B for ip and nsenter

  bool Create() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    fdA = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (unshare(CLONE_NEWNET) != 0) return false;
    fdB = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fdA < 0 || fdB < 0 || setns(fdA, CLONE_NEWNET) != 0) return false;
    pathB = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fdB);
    return Sh("ip link set lo up") && InB("ip link set lo up");
  }
  bool InB(const std::string& cmd) { return Sh("nsenter --net=" + pathB + " " + cmd); }

  // A veth pair: name in A with the given MAC, peer in B; both up.
  bool Link(const std::string& name, const std::string& mac, const std::string& peer) {
    return Sh("ip link add " + name + " address " + mac + " type veth peer name " + peer +
              " netns " + pathB) &&
           Sh("ip link set " + name + " up") && InB("ip link set " + peer + " up");
  }
};

// Runs body in a forked child inside fresh namespaces; the child's failures
// become this test's failures.
void RunIsolated(const std::function<void(Netns&)>& body) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  fflush(stdout);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(p[0]);
    alarm(120);  // a hung child dies; the parent sees the signal
    std::string failures;
    g_failures = &failures;
    Netns ns;
    int code = 0;
    if (!ns.Create()) {
      failures = "cannot create network namespaces";
      code = 77;
    } else {
      body(ns);
      code = failures.empty() ? 0 : 1;
    }
    fflush(stdout);
    ssize_t ignored = write(p[1], failures.data(), failures.size());
    (void)ignored;
    _exit(code);
  }
  close(p[1]);
  std::string report;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof(buf))) > 0) report.append(buf, n);
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << report;
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status) << "\n"
                                 << report;
  EXPECT_EQ(WEXITSTATUS(status), 0) << report;
}

void UseDefaultSettings() {
  EngineSettings& s = Settings();
  s.magicCookie = kCookie;
  s.discoveryPort = kP;
  s.unicastPort = kP + 1;
  s.switchPort = kP + 2;
  s.multicastPort = kP + 6;
  s.multicastGroup = Ip(kGroup);
}

// A switch-side socket in namespace B, tied to dev, bound to port.
int SwitchSocket(Netns& ns, const char* dev, uint16_t port, bool joinGroup) {
  setns(ns.fdB, CLONE_NEWNET);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
  setsockopt(s, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
  setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, dev, strlen(dev) + 1);
  struct ip_mreqn req{};
  req.imr_multiaddr.s_addr = Ip(kGroup);
  req.imr_ifindex = static_cast<int>(if_nametoindex(dev));
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof(req));
  if (joinGroup) NS_CHECK(setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) == 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  NS_CHECK(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0);
  setns(ns.fdA, CLONE_NEWNET);
  return s;
}

void SwitchSend(int s, const char* dest, uint16_t port, const std::vector<uint8_t>& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Ip(dest);
  to.sin_port = htons(port);
  NS_CHECK(sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof(to)) == static_cast<ssize_t>(bytes.size()));
}

struct Got {
  std::vector<uint8_t> bytes;
  uint32_t from = 0;
  uint16_t fromPort = 0;
  uint32_t dest = 0;
};

// Everything the switch socket receives until it has been quiet for quietMs.
std::vector<Got> SwitchDrain(int s, int quietMs = 300) {
  std::vector<Got> out;
  for (;;) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, quietMs) <= 0) return out;
    Got g;
    g.bytes.resize(2000);
    sockaddr_in from{};
    iovec iov{g.bytes.data(), g.bytes.size()};
    alignas(cmsghdr) char control[128];
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof(from);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(s, &m, 0);
    if (n < 0) return out;
    g.bytes.resize(n);
    g.from = from.sin_addr.s_addr;
    g.fromPort = ntohs(from.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof(info));
        g.dest = info.ipi_addr.s_addr;
      }
    }
    out.push_back(std::move(g));
  }
}

// Records of queue: waits up to maxMs for `expected`, then quietMs more for
// any extra.
std::vector<std::unique_ptr<ReceivedPacket>> Collect(PacketQueue& q, size_t expected,
                                                     int maxMs = 3000, int quietMs = 300) {
  std::vector<std::unique_ptr<ReceivedPacket>> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (out.size() < expected && std::chrono::steady_clock::now() < deadline) {
    q.WaitNonEmptyFor(50);
    while (auto r = q.TakeOldest()) out.push_back(std::move(r));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
  while (auto r = q.TakeOldest()) out.push_back(std::move(r));
  return out;
}

std::vector<uint8_t> Message(uint16_t type, uint16_t seq, size_t length = 40) {
  std::vector<uint8_t> d(length, 0);
  PutBe16(&d[kOffVersion], 2);
  PutBe16(&d[kOffType], type);
  PutBe32(&d[kOffCookie], kCookie);
  PutBe16(&d[kOffSequence], seq);
  const uint8_t mac[6] = {0x02, 0x5A, 0x00, 0x00, 0x00, 0x07};
  memcpy(&d[kOffMac], mac, 6);
  return d;
}

size_t SocketListSize() {
  size_t n = 0;
  WithSocketList([&n](std::vector<WatchedSocket>& l) { n = l.size(); });
  return n;
}

bool WaitFor(const std::function<bool()>& cond, int maxMs) {
  for (int waited = 0; waited < maxMs; waited += 20) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

// ea0 (10.10.1.1/24 and 10.10.1.5/24) <-> sw0 (10.10.1.2/24),
// eb0 (10.10.2.1/24) <-> sw1 (10.10.2.2/24).
bool TwoAdapters(Netns& ns) {
  return ns.Link("ea0", "02:00:00:00:0a:01", "sw0") &&
         ns.Link("eb0", "02:00:00:00:0b:01", "sw1") &&
         Sh("ip addr add 10.10.1.1/24 dev ea0") && Sh("ip addr add 10.10.1.5/24 dev ea0") &&
         Sh("ip addr add 10.10.2.1/24 dev eb0") &&
         ns.InB("ip addr add 10.10.1.2/24 dev sw0") && ns.InB("ip addr add 10.10.2.2/24 dev sw1");
}

std::set<uint32_t> Sources(const std::vector<Got>& got) {
  std::set<uint32_t> s;
  for (const Got& g : got) s.insert(g.from);
  return s;
}

bool SenderMacIs(const Got& g, const uint8_t* mac) {
  return g.bytes.size() >= 26 && memcmp(&g.bytes[kOffSenderMac], mac, 6) == 0;
}

TEST(EngineSocketsTest, SendsLeaveThroughEachAdapterWithItsMac) {
  RunIsolated([](Netns& ns) {
    if (!TwoAdapters(ns)) return;
    UseDefaultSettings();
    StartAdapterWatch();
    NS_CHECK(WaitFor([] { return LocalAddressCount() == 3; }, 5000));
    NS_CHECK_EQ(SocketListSize(), 12u);
    int sw0 = SwitchSocket(ns, "sw0", kP + 2, true);
    int sw1 = SwitchSocket(ns, "sw1", kP + 2, true);

    // Broadcast: one datagram per address entry, each through its own
    // adapter, from its own address, with that adapter's MAC.
    std::vector<uint8_t> request = Message(kMsgDiscoveryRequest, 11);
    std::vector<uint8_t> before = request;
    NS_CHECK_EQ(SendBroadcast(request.data(), request.size()), 1);
    NS_CHECK(request == before);  // the caller's buffer is left alone
    std::vector<Got> a = SwitchDrain(sw0), b = SwitchDrain(sw1);
    NS_CHECK_EQ(a.size(), 2u);
    NS_CHECK_EQ(b.size(), 1u);
    NS_CHECK(Sources(a) == std::set<uint32_t>({Ip("10.10.1.1"), Ip("10.10.1.5")}));
    NS_CHECK(Sources(b) == std::set<uint32_t>({Ip("10.10.2.1")}));
    for (const Got& g : a) {
      NS_CHECK(SenderMacIs(g, kMacEa0));
      NS_CHECK_EQ(g.dest, Ip("255.255.255.255"));
      NS_CHECK_EQ(g.fromPort, kP);
      std::vector<uint8_t> expect = before;
      memcpy(&expect[kOffSenderMac], kMacEa0, 6);
      NS_CHECK(g.bytes == expect);
    }
    for (const Got& g : b) NS_CHECK(SenderMacIs(g, kMacEb0));

    // Multicast to the group, the same way.
    NS_CHECK_EQ(SendMulticast(request.data(), request.size()), 1);
    a = SwitchDrain(sw0);
    b = SwitchDrain(sw1);
    NS_CHECK_EQ(a.size(), 2u);
    NS_CHECK_EQ(b.size(), 1u);
    for (const Got& g : a) {
      NS_CHECK(SenderMacIs(g, kMacEa0));
      NS_CHECK_EQ(g.dest, Ip(kGroup));
      NS_CHECK_EQ(g.fromPort, kP + 6);
    }
    for (const Got& g : b) NS_CHECK(SenderMacIs(g, kMacEb0));

    // Both at once.
    NS_CHECK_EQ(SendBroadcastAndMulticast(request.data(), request.size()), 1);
    NS_CHECK_EQ(SwitchDrain(sw0).size(), 4u);
    NS_CHECK_EQ(SwitchDrain(sw1).size(), 2u);

    // Unicast leaves only through the entries whose subnet holds the target.
    NS_CHECK_EQ(SendUnicast(request.data(), request.size(), Ip("10.10.2.2")), 1);
    b = SwitchDrain(sw1);
    NS_CHECK_EQ(SwitchDrain(sw0).size(), 0u);
    NS_CHECK_EQ(b.size(), 1u);
    if (b.size() == 1) {
      NS_CHECK(SenderMacIs(b[0], kMacEb0));
      NS_CHECK_EQ(b[0].from, Ip("10.10.2.1"));
      NS_CHECK_EQ(b[0].fromPort, kP + 1);
    }
    NS_CHECK_EQ(SendUnicast(request.data(), request.size(), Ip("10.10.1.2")), 1);
    NS_CHECK_EQ(SwitchDrain(sw0).size(), 2u);
    NS_CHECK_EQ(SwitchDrain(sw1).size(), 0u);

    // TFTP goes out unchanged from port 64517.
    int tftp = SwitchSocket(ns, "sw1", 69, false);
    std::vector<uint8_t> wrq(30, 0xEE);
    NS_CHECK_EQ(SendTftp(69, Ip("10.10.2.2"), wrq.data(), wrq.size(), 0), 1);
    b = SwitchDrain(tftp);
    NS_CHECK_EQ(b.size(), 1u);
    if (b.size() == 1) {
      NS_CHECK(b[0].bytes == wrq);
      NS_CHECK_EQ(b[0].fromPort, kTftpPort);
      NS_CHECK_EQ(b[0].from, Ip("10.10.2.1"));
    }
    close(tftp);
    // Two local addresses in the switch's subnet: the packet leaves once,
    // from the address asked for, else from one of them.
    tftp = SwitchSocket(ns, "sw0", 69, false);
    for (uint32_t local : {Ip("10.10.1.5"), Ip("10.10.1.1"), 0u, Ip("10.10.9.9")}) {
      NS_CHECK_EQ(SendTftp(69, Ip("10.10.1.2"), wrq.data(), wrq.size(), local), 1);
      a = SwitchDrain(tftp);
      NS_CHECK_EQ(a.size(), 1u);
      if (a.size() == 1 && (local == Ip("10.10.1.5") || local == Ip("10.10.1.1")))
        NS_CHECK_EQ(a[0].from, local);
    }
    close(tftp);
    close(sw0);
    close(sw1);
  });
}

TEST(EngineSocketsTest, RepliesReachTheQueuesThroughEverySocketKind) {
  RunIsolated([](Netns& ns) {
    if (!TwoAdapters(ns)) return;
    UseDefaultSettings();
    ReplyQueue().Clear();
    UpgradeQueue().Clear();
    StartAdapterWatch();  // also starts the receive thread after its first scan
    NS_CHECK(WaitFor([] { return LocalAddressCount() == 3; }, 5000));
    int sw0 = SwitchSocket(ns, "sw0", kP + 2, false);
    int sw1 = SwitchSocket(ns, "sw1", kP + 2, false);

    // A broadcast discovery reply on ea0 reaches the broadcast socket of
    // each of its two addresses, and nothing on eb0.
    SwitchSend(sw0, "255.255.255.255", kP, Message(kMsgDiscoveryReply, 0x1234, 64));
    auto replies = Collect(ReplyQueue(), 2);
    auto copies = Collect(UpgradeQueue(), 2, 500, 0);
    NS_CHECK_EQ(replies.size(), 2u);
    NS_CHECK_EQ(copies.size(), 2u);
    std::set<uint32_t> locals;
    for (auto& r : replies) {
      locals.insert(r->localAddr);
      NS_CHECK_EQ(r->msgType, kMsgDiscoveryReply);
      NS_CHECK_EQ(r->sequence, 0x1234);
      NS_CHECK_EQ(r->length, 64u);
      NS_CHECK_EQ(r->source.sin_addr.s_addr, Ip("10.10.1.2"));
      NS_CHECK_EQ(ntohs(r->source.sin_port), kP + 2);
      NS_CHECK_EQ(r->destAddr, Ip("255.255.255.255"));
      NS_CHECK_EQ(r->isTftp, 0u);
    }
    NS_CHECK(locals == std::set<uint32_t>({Ip("10.10.1.1"), Ip("10.10.1.5")}));

    // A loader-mode reply to the group on eb0: the multicast socket, reply
    // queue only.
    SwitchSend(sw1, kGroup, kP + 6, Message(kMsgLoaderDiscoveryReply, 2));
    replies = Collect(ReplyQueue(), 1);
    NS_CHECK_EQ(replies.size(), 1u);
    if (replies.size() == 1) {
      NS_CHECK_EQ(replies[0]->localAddr, Ip("10.10.2.1"));
      NS_CHECK_EQ(replies[0]->destAddr, Ip(kGroup));
      NS_CHECK_EQ(replies[0]->msgType, kMsgLoaderDiscoveryReply);
    }
    NS_CHECK_EQ(UpgradeQueue().Size(), 0u);

    // Group datagrams reach only the multicast socket, which joined.
    SwitchSend(sw1, kGroup, kP, Message(kMsgDiscoveryReply, 3));
    NS_CHECK_EQ(Collect(ReplyQueue(), 0, 0).size(), 0u);

    // A poll reply broadcast to P+1: the unicast socket.
    SwitchSend(sw1, "255.255.255.255", kP + 1, Message(kMsgMonitorReply, 0));
    replies = Collect(ReplyQueue(), 1);
    NS_CHECK_EQ(replies.size(), 1u);
    if (replies.size() == 1) NS_CHECK_EQ(replies[0]->msgType, kMsgMonitorReply);

    // TFTP acknowledgements to each address of ea0: upgrade queue only,
    // once each, whichever of the two TFTP sockets read them.
    for (const char* to : {"10.10.1.5", "10.10.1.1"}) {
      SwitchSend(sw0, to, kTftpPort, {0, 4, 0, 0});
      copies = Collect(UpgradeQueue(), 1);
      NS_CHECK_EQ(copies.size(), 1u);
      if (copies.size() != 1) continue;
      NS_CHECK_EQ(copies[0]->isTftp, 1u);
      NS_CHECK_EQ(copies[0]->length, 4u);
      NS_CHECK_EQ(copies[0]->destAddr, Ip(to));
      NS_CHECK_EQ(copies[0]->localAddr, Ip(to));
      NS_CHECK_EQ(copies[0]->msgType, 0);
    }
    NS_CHECK_EQ(ReplyQueue().Size(), 0u);

    // An upgrade reply: upgrade queue only.
    SwitchSend(sw1, "255.255.255.255", kP, Message(kMsgUpgradeReply, 9));
    copies = Collect(UpgradeQueue(), 1);
    NS_CHECK_EQ(copies.size(), 1u);
    NS_CHECK_EQ(ReplyQueue().Size(), 0u);

    // An empty and an oversized datagram are dropped; the socket stays in
    // service.
    SwitchSend(sw1, "255.255.255.255", kP, {});
    SwitchSend(sw1, "255.255.255.255", kP, std::vector<uint8_t>(2000, 0x44));
    NS_CHECK_EQ(Collect(ReplyQueue(), 0, 0, 500).size(), 0u);
    NS_CHECK_EQ(SocketListSize(), 12u);
    SwitchSend(sw1, "255.255.255.255", kP, Message(kMsgDiscoveryReply, 10));
    replies = Collect(ReplyQueue(), 1);
    NS_CHECK_EQ(replies.size(), 1u);
    close(sw0);
    close(sw1);
  });
}

TEST(EngineSocketsTest, RescansFollowTheSystemsAdapters) {
  RunIsolated([](Netns& ns) {
    if (!TwoAdapters(ns)) return;
    UseDefaultSettings();
    // An adapter without an IPv4 address is no adapter.
    ns.Link("ec0", "02:00:00:00:0c:01", "sw2");
    RescanAdapters();
    std::vector<AdapterSummary> first = SnapshotAdapters();
    NS_CHECK_EQ(first.size(), 2u);
    NS_CHECK_EQ(LocalAddressCount(), 3u);
    NS_CHECK_EQ(SocketListSize(), 12u);
    for (const AdapterSummary& a : first)
      for (const auto& socks : a.sockets)
        for (int fd : socks) NS_CHECK(fd >= 0);

    // An unchanged system changes nothing.
    RescanAdapters();
    std::vector<AdapterSummary> second = SnapshotAdapters();
    NS_CHECK(second.size() == first.size());
    for (size_t i = 0; i < first.size() && i < second.size(); ++i)
      NS_CHECK(second[i].sockets == first[i].sockets);

    // A changed mask is taken in place.
    Sh("ip addr del 10.10.2.1/24 dev eb0");
    Sh("ip addr add 10.10.2.1/16 dev eb0");
    RescanAdapters();
    for (const AdapterSummary& a : SnapshotAdapters()) {
      if (a.name != "eb0") continue;
      NS_CHECK_EQ(a.addresses.size(), 1u);
      if (a.addresses.size() == 1) NS_CHECK_EQ(a.addresses[0].mask, Ip("255.255.0.0"));
      NS_CHECK(a.sockets == second[1].sockets);
    }

    // A removed address loses its sockets; a new one gets four.
    std::vector<int> gone = first[0].sockets[1];  // 10.10.1.5 on ea0
    Sh("ip addr del 10.10.1.5/24 dev ea0");
    Sh("ip addr add 10.10.1.9/24 dev ea0");
    RescanAdapters();
    NS_CHECK_EQ(LocalAddressCount(), 3u);
    NS_CHECK_EQ(SocketListSize(), 12u);
    std::vector<AdapterSummary> now = SnapshotAdapters();
    NS_CHECK(now.size() == 2 && now[0].addresses.size() == 2 &&
             now[0].addresses[0].address == Ip("10.10.1.1") &&
             now[0].addresses[1].address == Ip("10.10.1.9"));

    // Two interfaces with one MAC are two adapters, and stay so.
    ns.Link("ed0", "02:00:00:00:0a:01", "sw3");
    Sh("ip addr add 10.10.4.1/24 dev ed0");
    RescanAdapters();
    now = SnapshotAdapters();
    NS_CHECK_EQ(now.size(), 3u);
    RescanAdapters();
    std::vector<AdapterSummary> again = SnapshotAdapters();
    NS_CHECK(again.size() == now.size());
    for (size_t i = 0; i < now.size() && i < again.size(); ++i)
      NS_CHECK(again[i].sockets == now[i].sockets);

    // An interface re-created with the same MAC and address between two
    // scans is a new adapter: its sockets must follow the new interface.
    Sh("ip link del ed0");
    ns.Link("ed0", "02:00:00:00:0a:01", "sw3");
    Sh("ip addr add 10.10.4.1/24 dev ed0");
    ns.InB("ip addr add 10.10.4.2/24 dev sw3");
    RescanAdapters();
    uint32_t newIndex = if_nametoindex("ed0");
    bool found = false;
    for (const AdapterSummary& a : SnapshotAdapters())
      if (a.name == "ed0") found = a.index == newIndex;
    NS_CHECK(found);
    ReplyQueue().Clear();
    int sw3 = SwitchSocket(ns, "sw3", kP + 2, false);
    SwitchSend(sw3, "255.255.255.255", kP, Message(kMsgDiscoveryReply, 5));
    int made = 0;
    for (int i = 0; i < 10 && made == 0; ++i) made += ReceivePass(100);
    NS_CHECK_EQ(made, 1);
    close(sw3);
    ReplyQueue().Clear();
    UpgradeQueue().Clear();

    // A disabled interface is dropped with its sockets.
    Sh("ip link set eb0 down");
    RescanAdapters();
    NS_CHECK_EQ(SnapshotAdapters().size(), 2u);
    NS_CHECK_EQ(SocketListSize(), 12u);  // ea0: 2 addresses, ed0: 1

    // After the stop nothing is left and nothing comes back.
    StopAdapterWatch();
    NS_CHECK_EQ(SocketListSize(), 0u);
    NS_CHECK_EQ(LocalAddressCount(), 0u);
    RescanAdapters();
    NS_CHECK_EQ(LocalAddressCount(), 0u);
    std::vector<uint8_t> request = Message(kMsgDiscoveryRequest, 1);
    NS_CHECK_EQ(SendBroadcastAndMulticast(request.data(), request.size()), 0);
    NS_CHECK_EQ(SendUnicast(request.data(), request.size(), Ip("10.10.1.2")), 0);
  });
}

TEST(EngineSocketsTest, EverySocketIsReadBeyondSixtyFour) {
  RunIsolated([](Netns& ns) {
    if (!ns.Link("ea0", "02:00:00:00:0a:01", "sw0")) return;
    ns.InB("ip addr add 10.10.1.200/24 dev sw0");
    // 17 addresses: 68 sockets.
    for (int i = 1; i <= 17; ++i) Sh("ip addr add 10.10.1." + std::to_string(i) + "/24 dev ea0");
    UseDefaultSettings();
    ReplyQueue().Clear();
    RescanAdapters();
    NS_CHECK_EQ(SocketListSize(), 68u);
    int sw0 = SwitchSocket(ns, "sw0", kP + 2, false);
    SwitchSend(sw0, "255.255.255.255", kP, Message(kMsgDiscoveryReply, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 5; ++i) ReceivePass(100);
    std::set<uint32_t> locals;
    while (auto r = ReplyQueue().TakeOldest()) locals.insert(r->localAddr);
    NS_CHECK_EQ(locals.size(), 17u);
    close(sw0);
  });
}

TEST(EngineSocketsTest, BurstOfAThousandRepliesIsKept) {
  RunIsolated([](Netns& ns) {
    if (!ns.Link("eb0", "02:00:00:00:0b:01", "sw1")) return;
    Sh("ip addr add 10.10.2.1/24 dev eb0");
    ns.InB("ip addr add 10.10.2.2/24 dev sw1");
    UseDefaultSettings();
    ReplyQueue().Clear();
    UpgradeQueue().Clear();
    RescanAdapters();
    int sw1 = SwitchSocket(ns, "sw1", kP + 2, false);
    // The receive thread is not running yet: the socket buffer alone must
    // hold the whole burst.
    for (uint16_t i = 0; i < 1000; ++i)
      SwitchSend(sw1, "255.255.255.255", kP, Message(kMsgDiscoveryReply, i + 1, 400));
    StartReceiveThread();
    auto replies = Collect(ReplyQueue(), 1000, 10000);
    NS_CHECK_EQ(replies.size(), 1000u);
    bool inOrder = true;
    for (size_t i = 0; i < replies.size(); ++i) inOrder = inOrder && replies[i]->sequence == i + 1;
    NS_CHECK(inOrder);
    NS_CHECK_EQ(Collect(UpgradeQueue(), 1000, 2000).size(), 1000u);
    close(sw1);
  });
}

}  // namespace
}  // namespace torvane
