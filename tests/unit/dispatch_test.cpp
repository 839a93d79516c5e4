// Tests of the path a received datagram takes inside the engine: reading a
// datagram into a record (over loopback), routing records to the reply and
// upgrade queues, the queues' hand-over between threads, the two
// dispatchers' routing tables, and the choice of address entries for
// unicast and TFTP sends.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/adapters.h"
#include "engine/dispatch.h"
#include "engine/receive.h"
#include "engine/settings.h"

namespace torvane {
namespace {

std::unique_ptr<ReceivedPacket> Record(uint16_t type, bool tftp = false, uint32_t length = 40) {
  std::unique_ptr<ReceivedPacket> p(new ReceivedPacket);
  p->msgType = tftp ? 0 : type;
  p->isTftp = tftp ? 1 : 0;
  p->length = length;
  PutBe16(p->data + kOffType, type);
  p->data[100] = 0x5A;  // body marker, checked in copies
  return p;
}

class QueueRoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReplyQueue().Clear();
    UpgradeQueue().Clear();
  }
  void TearDown() override { SetUp(); }

  // Routes one record; returns "R" / "U" flags of the signals.
  std::string Route(std::unique_ptr<ReceivedPacket> rec) {
    bool r = false, u = false;
    QueueReceivedPacket(std::move(rec), &r, &u);
    return std::string(r ? "R" : "") + (u ? "U" : "");
  }
};

TEST_F(QueueRoutingTest, ByMessageTypeAndTftpFlag) {
  // A discovery reply reaches both queues, the upgrade queue as a copy.
  ReceivedPacket* original = nullptr;
  {
    auto rec = Record(kMsgDiscoveryReply);
    original = rec.get();
    EXPECT_EQ(Route(std::move(rec)), "RU");
  }
  ASSERT_EQ(ReplyQueue().Size(), 1u);
  ASSERT_EQ(UpgradeQueue().Size(), 1u);
  auto inReply = ReplyQueue().TakeOldest();
  auto inUpgrade = UpgradeQueue().TakeOldest();
  EXPECT_EQ(inReply.get(), original);
  EXPECT_NE(inUpgrade.get(), original);
  EXPECT_EQ(inUpgrade->msgType, kMsgDiscoveryReply);
  EXPECT_EQ(inUpgrade->data[100], 0x5A);
  EXPECT_EQ(inUpgrade->length, 40u);

  // A loader-mode discovery reply: reply queue only.
  EXPECT_EQ(Route(Record(kMsgLoaderDiscoveryReply)), "R");
  // An upgrade reply: upgrade queue only.
  EXPECT_EQ(Route(Record(kMsgUpgradeReply)), "U");
  // Anything from a TFTP socket goes to the upgrade queue only, whatever
  // its bytes look like.
  EXPECT_EQ(Route(Record(kMsgDiscoveryReply, /*tftp=*/true)), "U");
  EXPECT_EQ(Route(Record(kMsgUpgradeReply, /*tftp=*/true)), "U");
  // Unknown types and traps go to the reply queue (dropped or handled there).
  EXPECT_EQ(Route(Record(7)), "R");
  EXPECT_EQ(Route(Record(kMsgTrap)), "R");
  EXPECT_EQ(ReplyQueue().Size(), 3u);
  EXPECT_EQ(UpgradeQueue().Size(), 3u);
  // Order within a queue is arrival order.
  EXPECT_EQ(ReplyQueue().TakeOldest()->msgType, kMsgLoaderDiscoveryReply);
  EXPECT_EQ(UpgradeQueue().TakeOldest()->msgType, kMsgUpgradeReply);
  EXPECT_EQ(UpgradeQueue().TakeOldest()->isTftp, 1u);
}

TEST(PacketQueueTest, ConsumerDrainsEverythingAcrossSignals) {
  // One producer appending in batches with one signal per batch, one
  // consumer draining before each wait: every record arrives, in order.
  constexpr int kRecords = 5000;
  PacketQueue queue(kRecords);  // room for all: this is about signals, not the limit
  std::atomic<int> received{0};
  std::atomic<bool> ordered{true};
  std::thread consumer([&] {
    int next = 0;
    while (next < kRecords) {
      queue.WaitNonEmpty();
      while (auto rec = queue.TakeOldest()) {
        if (static_cast<int>(rec->length) != next) ordered = false;
        ++next;
      }
    }
    received = next;
  });
  for (int i = 0; i < kRecords; ++i) {
    std::unique_ptr<ReceivedPacket> rec(new ReceivedPacket);
    rec->length = static_cast<uint32_t>(i);
    queue.Append(std::move(rec));
    if (i % 7 == 6 || i == kRecords - 1) queue.Signal();
  }
  consumer.join();
  EXPECT_EQ(received.load(), kRecords);
  EXPECT_TRUE(ordered.load());
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_FALSE(queue.WaitNonEmptyFor(10));
  EXPECT_FALSE(queue.Append(nullptr));
}

// --- Dispatchers -------------------------------------------------------------

std::vector<std::string>* g_log = nullptr;

int OnDiscovery(const ReceivedPacket& p) {
  g_log->push_back("discovery:" + std::to_string(p.msgType));
  return 1;
}
int OnSet(const ReceivedPacket& p) {
  g_log->push_back("set:" + std::to_string(p.msgType));
  return 1;
}
int OnMonitor(const ReceivedPacket& p) {
  g_log->push_back("monitor:" + std::to_string(p.msgType));
  return 1;
}
int OnTftp(const ReceivedPacket& p) {
  g_log->push_back("tftp:" + std::to_string(p.length));
  return 1;
}
int OnUpgradeDiscovery(const ReceivedPacket& p) {
  g_log->push_back("updisc:" + std::to_string(p.msgType));
  return 1;
}
int OnUpgradeReply(const ReceivedPacket& p) {
  g_log->push_back("upreply:" + std::to_string(p.msgType));
  return 1;
}
int OnTrap(const uint8_t* data, size_t length, void* context) {
  g_log->push_back("trap:" + std::to_string(GetBe16(data + kOffType)) + ":" +
                   std::to_string(length) + ":" +
                   std::to_string(reinterpret_cast<intptr_t>(context)));
  return 1;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log_;
    savedCookie_ = Settings().magicCookie.load();
    Settings().magicCookie = 0x0A0B0C0D;
    const HandlerRole roles[] = {HandlerRole::kDiscoveryMatch, HandlerRole::kSetMatch,
                                 HandlerRole::kMonitorUpdate,  HandlerRole::kUpgradeTftp,
                                 HandlerRole::kUpgradeDiscovery, HandlerRole::kUpgradeReply};
    for (HandlerRole r : roles) saved_.push_back({r, SetPacketHandler(r, nullptr)});
    savedTrap_ = InstallTrapHandler(nullptr, nullptr);
  }
  void TearDown() override {
    for (auto& s : saved_) SetPacketHandler(s.first, s.second);
    InstallTrapHandler(savedTrap_.fn, savedTrap_.context);
    Settings().magicCookie = savedCookie_;
    g_log = nullptr;
  }
  void InstallAll() {
    SetPacketHandler(HandlerRole::kDiscoveryMatch, &OnDiscovery);
    SetPacketHandler(HandlerRole::kSetMatch, &OnSet);
    SetPacketHandler(HandlerRole::kMonitorUpdate, &OnMonitor);
    SetPacketHandler(HandlerRole::kUpgradeTftp, &OnTftp);
    SetPacketHandler(HandlerRole::kUpgradeDiscovery, &OnUpgradeDiscovery);
    SetPacketHandler(HandlerRole::kUpgradeReply, &OnUpgradeReply);
  }
  static ReceivedPacket Trap(uint16_t type, uint32_t cookie) {
    ReceivedPacket p;
    p.msgType = type;
    p.length = 48;
    PutBe16(p.data + kOffType, type);
    PutBe32(p.data + kOffCookie, cookie);
    return p;
  }
  std::string Joined() {
    std::string s;
    for (auto& e : log_) s += e + " ";
    log_.clear();
    return s;
  }

  std::vector<std::string> log_;
  std::vector<std::pair<HandlerRole, PacketHandler>> saved_;
  TrapHandler savedTrap_;
  uint32_t savedCookie_ = 0;
};

TEST_F(DispatchTest, ReplyRoutingTable) {
  // Without the discovery handler a discovery reply still reaches the
  // monitor update; nothing reaches an uninstalled handler.
  SetPacketHandler(HandlerRole::kMonitorUpdate, &OnMonitor);
  ReceivedPacket first;
  first.msgType = 2;
  first.length = 40;
  DispatchReply(first);
  EXPECT_EQ(Joined(), "monitor:2 ");

  InstallAll();
  PacketQueue queue;
  const uint16_t types[] = {2, 12, 4, 8, 15, 6, 7, 11, 1, 0};
  for (uint16_t t : types) queue.Append(Record(t));
  EXPECT_EQ(DrainQueue(queue, &DispatchReply), 10u);
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_EQ(Joined(),
            "discovery:2 monitor:2 discovery:12 monitor:12 set:4 monitor:4 set:8 monitor:8 "
            "set:15 monitor:15 monitor:6 ");
}

TEST_F(DispatchTest, TrapsNeedTheConfiguredCookie) {
  // Right cookie, no handler yet: logged and dropped.
  testing::internal::CaptureStdout();
  DispatchReply(Trap(kMsgTrap, 0x0A0B0C0D));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "recv a trap packet. \n");
  EXPECT_EQ(Joined(), "");

  InstallTrapHandler(&OnTrap, reinterpret_cast<void*>(42));
  testing::internal::CaptureStdout();
  DispatchReply(Trap(kMsgTrap, 0x0A0B0C0D));
  DispatchReply(Trap(kMsgAgentTrap, 0x0A0B0C0D));
  // Wrong cookie: nothing at all, not even the log line.
  DispatchReply(Trap(kMsgTrap, 0x0A0B0C0E));
  DispatchReply(Trap(kMsgAgentTrap, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "recv a trap packet. \nrecv a trap packet. \n");
  EXPECT_EQ(Joined(), "trap:9:48:42 trap:16:48:42 ");
  // The trap handler is not a packet handler: no monitor update for traps.
  SetPacketHandler(HandlerRole::kMonitorUpdate, &OnMonitor);
  DispatchReply(Trap(kMsgTrap, 0x0A0B0C0E));
  EXPECT_EQ(Joined(), "");
}

TEST_F(DispatchTest, UpgradeRoutingTable) {
  InstallAll();
  ReceivedPacket tftp;
  tftp.isTftp = 1;
  tftp.length = 4;
  PutBe16(tftp.data + kOffType, 11);  // TFTP bytes that look like type 11
  DispatchUpgrade(tftp);
  tftp.length = 3;  // too short for opcode and block number
  DispatchUpgrade(tftp);
  const uint16_t types[] = {2, 11, 12, 4, 7};
  for (uint16_t t : types) {
    ReceivedPacket p;
    p.msgType = t;
    p.length = 40;
    DispatchUpgrade(p);
  }
  EXPECT_EQ(Joined(), "tftp:4 updisc:2 upreply:11 ");
}

// --- Reading one datagram (loopback) --------------------------------------------

class ReadDatagramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rx_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    tx_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx_, 0);
    ASSERT_GE(tx_, 0);
    int one = 1;
    setsockopt(rx_, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx_, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    socklen_t len = sizeof(to_);
    getsockname(rx_, reinterpret_cast<sockaddr*>(&to_), &len);
  }
  void TearDown() override {
    close(rx_);
    close(tx_);
  }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(sendto(tx_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to_),
                     sizeof(to_)),
              static_cast<ssize_t>(bytes.size()));
    usleep(20000);
  }
  int rx_ = -1, tx_ = -1;
  sockaddr_in to_{};
};

TEST_F(ReadDatagramTest, HeaderFieldsAndLimits) {
  std::unique_ptr<ReceivedPacket> rec;
  // Nothing there: no record, socket fine.
  EXPECT_EQ(ReadOneDatagram(rx_, kSocketBroadcast, 0x01020304, &rec), ReadStatus::kOk);
  EXPECT_FALSE(rec);

  // An empty datagram and an oversized one are dropped; the socket stays good.
  Send({});
  EXPECT_EQ(ReadOneDatagram(rx_, kSocketBroadcast, 0, &rec), ReadStatus::kOk);
  EXPECT_FALSE(rec);
  Send(std::vector<uint8_t>(1501, 0x33));
  EXPECT_EQ(ReadOneDatagram(rx_, kSocketBroadcast, 0, &rec), ReadStatus::kOk);
  EXPECT_FALSE(rec);

  // A full-size device protocol datagram.
  std::vector<uint8_t> d(kMaxDatagram, 0);
  PutBe16(&d[kOffType], kMsgDiscoveryReply);
  PutBe16(&d[kOffSequence], 0xBEEF);
  const uint8_t mac[6] = {2, 0xAB, 0xCD, 0, 0, 9};
  memcpy(&d[kOffMac], mac, 6);
  d[kMaxDatagram - 1] = 0x77;
  Send(d);
  ASSERT_EQ(ReadOneDatagram(rx_, kSocketBroadcast, 0x01020304, &rec), ReadStatus::kOk);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->length, kMaxDatagram);
  EXPECT_EQ(rec->msgType, kMsgDiscoveryReply);
  EXPECT_EQ(rec->sequence, 0xBEEF);
  EXPECT_EQ(memcmp(rec->mac, mac, 6), 0);
  EXPECT_EQ(rec->data[kMaxDatagram - 1], 0x77);
  EXPECT_EQ(rec->isTftp, 0u);
  // A unicast datagram arrived on its destination address.
  EXPECT_EQ(rec->localAddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(rec->destAddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(rec->source.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(rec->sourceLength, sizeof(sockaddr_in));

  // A datagram shorter than the header yields no header fields.
  std::vector<uint8_t> shortOne(30, 0);
  PutBe16(&shortOne[kOffType], kMsgUpgradeReply);
  Send(shortOne);
  ASSERT_EQ(ReadOneDatagram(rx_, kSocketBroadcast, 0, &rec), ReadStatus::kOk);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->length, 30u);
  EXPECT_EQ(rec->msgType, 0);

  // On a TFTP socket the header is not read.
  Send(d);
  ASSERT_EQ(ReadOneDatagram(rx_, kSocketTftp, 0, &rec), ReadStatus::kOk);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->isTftp, 1u);
  EXPECT_EQ(rec->msgType, 0);
  EXPECT_EQ(rec->sequence, 0);

  // A descriptor that is not a socket is a hard failure.
  EXPECT_EQ(ReadOneDatagram(-1, kSocketUnicast, 0, &rec), ReadStatus::kFailed);
  EXPECT_FALSE(rec);
}

// --- Choice of address entries --------------------------------------------------

uint32_t A(const char* text) { return inet_addr(text); }

TEST(EntryChoiceTest, UnicastPrefersEntriesWhoseSubnetHoldsTheDestination) {
  std::vector<AddressMask> entries = {
      {A("192.168.1.10"), A("255.255.255.0")},
      {A("10.0.0.5"), A("255.0.0.0")},
      {A("192.168.2.10"), A("255.255.255.0")},
  };
  EXPECT_EQ(PickUnicastEntries(entries, A("192.168.2.77")), std::vector<size_t>({2}));
  EXPECT_EQ(PickUnicastEntries(entries, A("10.200.1.1")), std::vector<size_t>({1}));
  // In no subnet: every entry.
  EXPECT_EQ(PickUnicastEntries(entries, A("172.16.0.1")), std::vector<size_t>({0, 1, 2}));
  // Two addresses of one subnet both send.
  entries.push_back({A("192.168.2.11"), A("255.255.255.0")});
  EXPECT_EQ(PickUnicastEntries(entries, A("192.168.2.1")), std::vector<size_t>({2, 3}));
  EXPECT_TRUE(PickUnicastEntries({}, A("192.168.2.1")).empty());
}

TEST(EntryChoiceTest, TftpUsesTheLongerOfEntryMaskAndForcedMask) {
  std::vector<AddressMask> entries = {
      {A("10.1.2.3"), A("255.0.0.0")},
      {A("192.168.5.1"), A("255.255.255.0")},
  };
  // No forced mask: the entry's own /8 holds 10.9.9.9.
  EXPECT_EQ(PickTftpEntries(entries, A("10.9.9.9"), 0), std::vector<size_t>({0}));
  // A forced /16 is longer than /8: 10.9.9.9 is no longer in 10.1/16, so
  // no entry matches and every entry sends.
  EXPECT_EQ(PickTftpEntries(entries, A("10.9.9.9"), A("255.255.0.0")),
            std::vector<size_t>({0, 1}));
  EXPECT_EQ(PickTftpEntries(entries, A("10.1.9.9"), A("255.255.0.0")),
            std::vector<size_t>({0}));
  // A forced /16 is shorter than the /24 entry, which keeps its own mask.
  EXPECT_EQ(PickTftpEntries(entries, A("192.168.6.1"), A("255.255.0.0")),
            std::vector<size_t>({0, 1}));
  EXPECT_EQ(PickTftpEntries(entries, A("192.168.5.200"), A("255.255.0.0")),
            std::vector<size_t>({1}));

  // One entry only: the one asked for, else the first that would send.
  entries.push_back({A("192.168.5.2"), A("255.255.255.0")});
  EXPECT_EQ(PickTftpEntry(entries, A("192.168.5.200"), 0, A("192.168.5.2")), 2u);
  EXPECT_EQ(PickTftpEntry(entries, A("192.168.5.200"), 0, 0), 1u);
  EXPECT_EQ(PickTftpEntry(entries, A("192.168.5.200"), 0, A("192.168.5.77")), 1u);
  EXPECT_EQ(PickTftpEntry(entries, A("172.16.0.1"), 0, 0), 0u);
  EXPECT_EQ(PickTftpEntry({}, A("172.16.0.1"), 0, A("192.168.5.2")), 0u);
}

}  // namespace
}  // namespace torvane
