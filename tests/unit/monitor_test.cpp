// Tests of the monitor list, the poll verdicts, the monitor update rules
// and the trap records, on crafted received packet records. No socket is
// used: polls go to a recording sender.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "engine/monitor.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/settings.h"

namespace torvane {
namespace {

constexpr uint32_t kCookie = 0x0A0B0C0D;
constexpr uint32_t kInterval = 15000;
const uint8_t kMacA[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x01};
const uint8_t kMacB[6] = {0x00, 0x1B, 0x2C, 0x00, 0x00, 0x02};
const uint8_t kZeroMac[6] = {};

struct SentPoll {
  std::vector<uint8_t> bytes;
  uint32_t dest;
};
std::vector<SentPoll>* g_sent = nullptr;

int RecordSend(const uint8_t* data, size_t len, uint32_t dest) {
  g_sent->push_back({std::vector<uint8_t>(data, data + len), dest});
  return 1;
}

uint32_t Addr(const char* text) { return inet_addr(text); }

AgentRecord RecordFor(const char* ip, const uint8_t* mac) {
  AgentRecord rec;
  memset(&rec, 0, sizeof(rec));
  uint32_t a = Addr(ip);
  memcpy(rec.agentIpAddr, &a, 4);
  if (mac != nullptr) memcpy(rec.macAddr, mac, 6);
  return rec;
}

// A device protocol datagram under construction.
class Datagram {
 public:
  explicit Datagram(uint16_t type, const uint8_t* mac = nullptr, uint32_t cookie = kCookie) {
    BuildHeader(bytes_, type);
    PutBe32(bytes_ + kOffCookie, cookie);
    if (mac != nullptr) memcpy(bytes_ + kOffMac, mac, 6);
  }
  Datagram& Tlv(uint16_t type, const std::string& value) {
    len_ += PutTlv(bytes_, sizeof(bytes_), len_, type, value.data(), value.size());
    return *this;
  }
  Datagram& Raw(const void* data, size_t n) {
    memcpy(bytes_ + len_, data, n);
    len_ += n;
    return *this;
  }
  const uint8_t* data() const { return bytes_; }
  size_t size() const { return len_; }

  // As the receive thread would record it.
  ReceivedPacket Packet(const char* source, uint32_t recvTick) const {
    ReceivedPacket p;
    memcpy(p.data, bytes_, len_);
    p.length = static_cast<uint32_t>(len_);
    p.msgType = GetBe16(bytes_ + kOffType);
    memcpy(p.mac, bytes_ + kOffMac, 6);
    p.source.sin_family = AF_INET;
    p.source.sin_addr.s_addr = Addr(source);
    p.sourceLength = sizeof(p.source);
    p.recvTick = recvTick;
    return p;
  }

 private:
  uint8_t bytes_[kMaxDatagram] = {};
  size_t len_ = kHeaderSize;
};

std::string Ip4(const std::string& text) {
  uint32_t a = Addr(text.c_str());
  return std::string(reinterpret_cast<const char*>(&a), 4);
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedCookie_ = Settings().magicCookie.load();
    savedInterval_ = Settings().monitorPollingIntervalMs.load();
    Settings().magicCookie = kCookie;
    Settings().monitorPollingIntervalMs = kInterval;
    ClearMonitorList();
    g_sent = &sent_;
    BuildMonitorPoll(poll_);
  }
  void TearDown() override {
    ClearMonitorList();
    g_sent = nullptr;
    Settings().magicCookie = savedCookie_;
    Settings().monitorPollingIntervalMs = savedInterval_;
  }

  int Pass(uint32_t now) { return MonitorPollPass(now, poll_, kHeaderSize, &RecordSend); }

  MonitorNodeCopy Node(int i) {
    MonitorNodeCopy c;
    memset(&c, 0, sizeof(c));
    EXPECT_EQ(1, GetMonitorNode(i, &c));
    return c;
  }

  std::vector<SentPoll> sent_;
  uint8_t poll_[kHeaderSize];
  uint32_t savedCookie_ = 0;
  uint32_t savedInterval_ = 0;
};

TEST_F(MonitorTest, ListIsKeyedByAddressInOrderOfAddition) {
  EXPECT_EQ(1, AddMonitorNode(RecordFor("10.1.0.2", kMacA)));
  EXPECT_EQ(1, AddMonitorNode(RecordFor("10.1.0.3", nullptr)));
  EXPECT_EQ(1, AddMonitorNode(RecordFor("10.1.0.4", kMacB)));
  // Same address, other MAC: refused, list unchanged.
  EXPECT_EQ(0, AddMonitorNode(RecordFor("10.1.0.3", kMacA)));

  MonitorNodeCopy c = Node(0);
  EXPECT_EQ(0, memcmp(c.agent.macAddr, kMacA, 6));
  EXPECT_EQ(1, c.isAlive);
  EXPECT_EQ(0, c.recvFlag);
  EXPECT_EQ(0, memcmp(Node(2).agent.macAddr, kMacB, 6));
  EXPECT_EQ(0, GetMonitorNode(3, &c));
  EXPECT_EQ(0, GetMonitorNode(-1, &c));

  uint32_t unknown = Addr("10.1.0.9"), middle = Addr("10.1.0.3");
  EXPECT_EQ(1, DelMonitorNode(reinterpret_cast<uint8_t*>(&unknown)));
  EXPECT_EQ(1, GetMonitorNode(2, &c));
  EXPECT_EQ(1, DelMonitorNode(reinterpret_cast<uint8_t*>(&middle)));
  EXPECT_EQ(0, GetMonitorNode(2, &c));
  EXPECT_EQ(0, memcmp(Node(1).agent.macAddr, kMacB, 6));
  // The address is free again.
  EXPECT_EQ(1, AddMonitorNode(RecordFor("10.1.0.3", nullptr)));

  EXPECT_EQ(1, ClearMonitorList());
  EXPECT_EQ(0, GetMonitorNode(0, &c));
}

TEST_F(MonitorTest, PollsOncePerIntervalAndDeclaresDeadAtTheThirdMissedPoll) {
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.1.0.2", kMacA)));
  const uint32_t t0 = 0xFFFFF000u;  // the tick wraps between the polls

  EXPECT_EQ(1, Pass(t0));
  ASSERT_EQ(1u, sent_.size());
  // The poll: 40 bytes, type 5, the cookie, MAC and sequence number zero.
  EXPECT_EQ(kHeaderSize, sent_[0].bytes.size());
  EXPECT_EQ(kMsgMonitorPoll, GetBe16(sent_[0].bytes.data() + kOffType));
  EXPECT_EQ(kCookie, GetBe32(sent_[0].bytes.data() + kOffCookie));
  EXPECT_EQ(std::vector<uint8_t>(6, 0),
            std::vector<uint8_t>(sent_[0].bytes.begin() + kOffMac,
                                 sent_[0].bytes.begin() + kOffMac + 6));
  EXPECT_EQ(0, GetBe16(sent_[0].bytes.data() + kOffSequence));
  EXPECT_EQ(Addr("10.1.0.2"), sent_[0].dest);
  EXPECT_EQ(1, Node(0).isAlive);

  // Within the interval nothing is sent.
  EXPECT_EQ(0, Pass(t0 + 1000));
  EXPECT_EQ(0, Pass(t0 + kInterval - 1));
  EXPECT_EQ(1u, sent_.size());

  EXPECT_EQ(1, Pass(t0 + kInterval));
  EXPECT_EQ(1, Node(0).isAlive);  // second missed poll
  EXPECT_EQ(1, Pass(t0 + 2 * kInterval));
  EXPECT_EQ(0, Node(0).isAlive);  // third: dead
  EXPECT_EQ(3u, sent_.size());

  // A fresh reply revives it at once; the next poll keeps it alive.
  ASSERT_EQ(1, MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Packet("10.1.0.2",
                                                                        t0 + 2 * kInterval + 5)));
  EXPECT_EQ(1, Node(0).isAlive);
  EXPECT_EQ(1, Node(0).recvFlag);
  EXPECT_EQ(1, Pass(t0 + 3 * kInterval));
  EXPECT_EQ(1, Node(0).isAlive);
  EXPECT_EQ(0, Node(0).recvFlag);
  // Silent again: dead only at the third poll after the last fresh reply.
  EXPECT_EQ(1, Pass(t0 + 4 * kInterval));
  EXPECT_EQ(1, Pass(t0 + 5 * kInterval));
  EXPECT_EQ(1, Node(0).isAlive);
  EXPECT_EQ(1, Pass(t0 + 6 * kInterval));
  EXPECT_EQ(0, Node(0).isAlive);
}

TEST_F(MonitorTest, WithIntervalZeroEveryPassPollsAndNoReplyCounts) {
  Settings().monitorPollingIntervalMs = 0;
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.1.0.2", kMacA)));
  for (uint32_t t = 5000; t < 8000; t += 1000) {
    EXPECT_EQ(1, Pass(t));
    MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Packet("10.1.0.2", t));
    EXPECT_EQ(0, Node(0).recvFlag);
  }
  EXPECT_EQ(0, Node(0).isAlive);
}

TEST_F(MonitorTest, OnlyFreshRepliesWithTheRightCookieCount) {
  AgentRecord rec = RecordFor("10.1.0.2", kMacA);
  strcpy(rec.systemName, "before");
  ASSERT_EQ(1, AddMonitorNode(rec));
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.1.0.3", kMacB)));
  const uint32_t t0 = 100000;
  Datagram reply(kMsgMonitorReply, kMacA);
  reply.Tlv(1, "Sim 8P").Tlv(3, "rack").Tlv(4, Ip4("10.1.0.2"));

  // Before the first poll no reply is fresh.
  EXPECT_EQ(1, MonitorProcess(reply.Packet("10.1.0.2", t0)));
  EXPECT_EQ(0, Node(0).recvFlag);
  EXPECT_STREQ("before", Node(0).agent.systemName);

  ASSERT_EQ(2, Pass(t0));
  // Wrong cookie or a datagram without a whole header: nothing changes.
  EXPECT_EQ(0, MonitorProcess(Datagram(kMsgMonitorReply, kMacA, kCookie + 1)
                                  .Packet("10.1.0.2", t0 + 1000)));
  ReceivedPacket shortOne = reply.Packet("10.1.0.2", t0 + 1000);
  shortOne.length = kHeaderSize - 1;
  EXPECT_EQ(0, MonitorProcess(shortOne));
  EXPECT_EQ(0, Node(0).recvFlag);
  // A reply one interval after the poll is stale.
  EXPECT_EQ(1, MonitorProcess(Datagram(kMsgMonitorReply, kMacB).Packet("10.1.0.3",
                                                                        t0 + kInterval)));
  EXPECT_EQ(0, Node(1).recvFlag);

  // 1 s after the poll: counts, and replaces the record by the reply's fields.
  EXPECT_EQ(1, MonitorProcess(reply.Packet("10.1.0.2", t0 + 1000)));
  MonitorNodeCopy c = Node(0);
  EXPECT_EQ(1, c.recvFlag);
  EXPECT_EQ(1, c.isAlive);
  EXPECT_STREQ("Sim 8P", c.agent.productName);
  EXPECT_STREQ("rack", c.agent.location);
  EXPECT_STREQ("", c.agent.systemName);  // zeroed first
  EXPECT_EQ(0, memcmp(c.agent.macAddr, kMacA, 6));
  EXPECT_EQ(0, Node(1).recvFlag);

  // Any reply type routed here counts, discovery replies included.
  EXPECT_EQ(1, MonitorProcess(Datagram(kMsgDiscoveryReply, kMacB).Tlv(1, "Other")
                                  .Packet("10.1.0.3", t0 + kInterval - 1)));
  EXPECT_EQ(1, Node(1).recvFlag);
  EXPECT_STREQ("Other", Node(1).agent.productName);

  ASSERT_EQ(2, Pass(t0 + kInterval));
  EXPECT_EQ(0, Node(0).recvFlag);
  EXPECT_EQ(1, Node(0).isAlive);
}

TEST_F(MonitorTest, EntryAddedByAddressLearnsTheMacOfItsFirstFreshReply) {
  AgentRecord rec = RecordFor("10.1.0.5", nullptr);
  strcpy(rec.systemName, "kept");
  ASSERT_EQ(1, AddMonitorNode(rec));
  ASSERT_EQ(1, Pass(50000));

  // A zero-MAC reply from another address does not match the unset MAC.
  MonitorProcess(Datagram(kMsgMonitorReply).Packet("10.1.0.6", 50100));
  EXPECT_EQ(0, Node(0).recvFlag);

  // The first fresh reply from the address gives the MAC; the record is
  // parsed into without being zeroed.
  MonitorProcess(Datagram(kMsgMonitorReply, kMacB).Tlv(1, "Sim").Packet("10.1.0.5", 50200));
  MonitorNodeCopy c = Node(0);
  EXPECT_EQ(1, c.recvFlag);
  EXPECT_EQ(0, memcmp(c.agent.macAddr, kMacB, 6));  // first byte 0: still a MAC
  EXPECT_STREQ("Sim", c.agent.productName);
  EXPECT_STREQ("kept", c.agent.systemName);
  EXPECT_EQ(Addr("10.1.0.5"), *reinterpret_cast<const uint32_t*>(c.agent.agentIpAddr));

  // From now on the entry is matched by that MAC only.
  ASSERT_EQ(1, Pass(50000 + kInterval));
  MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Packet("10.1.0.5", 50000 + kInterval + 10));
  EXPECT_EQ(0, Node(0).recvFlag);
  EXPECT_EQ(0, memcmp(Node(0).agent.macAddr, kMacB, 6));
  // A reply by MAC from another address moves the entry to that address.
  MonitorProcess(Datagram(kMsgMonitorReply, kMacB).Packet("10.1.0.7", 50000 + kInterval + 20));
  c = Node(0);
  EXPECT_EQ(1, c.recvFlag);
  EXPECT_EQ(Addr("10.1.0.7"), *reinterpret_cast<const uint32_t*>(c.agent.agentIpAddr));
  EXPECT_STREQ("", c.agent.systemName);
}

TEST_F(MonitorTest, AddressIndexFollowsEntriesThatMoveAndKeepsListOrder) {
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.2.0.1", kMacA)));
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.2.0.2", nullptr)));
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.2.0.3", kMacB)));
  ASSERT_EQ(3, Pass(70000));
  // The first entry moves to the second entry's address: both now hold it.
  MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Packet("10.2.0.2", 70010));
  EXPECT_EQ(Addr("10.2.0.2"), *reinterpret_cast<const uint32_t*>(Node(0).agent.agentIpAddr));
  // Its old address is free, its new one taken.
  EXPECT_EQ(0, AddMonitorNode(RecordFor("10.2.0.2", nullptr)));
  // Removal by address takes the first of the two in list order.
  uint32_t shared = Addr("10.2.0.2");
  DelMonitorNode(reinterpret_cast<uint8_t*>(&shared));
  EXPECT_EQ(0, memcmp(Node(0).agent.macAddr, kZeroMac, 6));
  EXPECT_EQ(0, memcmp(Node(1).agent.macAddr, kMacB, 6));
  EXPECT_EQ(0, AddMonitorNode(RecordFor("10.2.0.2", nullptr)));
  DelMonitorNode(reinterpret_cast<uint8_t*>(&shared));
  EXPECT_EQ(1, AddMonitorNode(RecordFor("10.2.0.1", nullptr)));
  EXPECT_EQ(1, AddMonitorNode(RecordFor("10.2.0.2", nullptr)));
  // An entry added by address that learns its MAC stays under its address.
  ASSERT_EQ(3, Pass(70000 + kInterval));
  MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Packet("10.2.0.2", 70000 + kInterval + 5));
  EXPECT_EQ(0, AddMonitorNode(RecordFor("10.2.0.2", nullptr)));
  EXPECT_EQ(3u, MonitorListSize());
}

TEST_F(MonitorTest, AReplyGoesToTheFirstEntryThatMatchesByMacOrByAddress) {
  // Entry 0 waits for its MAC at 10.4.0.1; entry 1 knows MAC A elsewhere.
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.4.0.1", nullptr)));
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.4.0.2", kMacA)));
  ASSERT_EQ(2, Pass(90000));
  // From 10.4.0.1 with MAC A: entry 0 comes first and takes the MAC.
  MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Packet("10.4.0.1", 90010));
  EXPECT_EQ(1, Node(0).recvFlag);
  EXPECT_EQ(0, Node(1).recvFlag);
  EXPECT_EQ(0, memcmp(Node(0).agent.macAddr, kMacA, 6));
  // Now both have MAC A; the next reply with it goes to entry 0 again,
  // wherever it comes from, and a reply with no MAC matches nobody.
  MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Tlv(1, "moved").Packet("10.4.0.9", 90020));
  EXPECT_STREQ("moved", Node(0).agent.productName);
  EXPECT_EQ(Addr("10.4.0.9"), *reinterpret_cast<const uint32_t*>(Node(0).agent.agentIpAddr));
  MonitorProcess(Datagram(kMsgMonitorReply).Tlv(1, "nobody").Packet("10.4.0.2", 90030));
  EXPECT_STREQ("", Node(1).agent.productName);
  // Removing entry 0 hands MAC A's replies to entry 1.
  uint32_t first = Addr("10.4.0.9");
  DelMonitorNode(reinterpret_cast<uint8_t*>(&first));
  MonitorProcess(Datagram(kMsgMonitorReply, kMacA).Tlv(1, "second").Packet("10.4.0.2", 90040));
  EXPECT_STREQ("second", Node(0).agent.productName);
  EXPECT_EQ(1, Node(0).recvFlag);
}

TEST_F(MonitorTest, ReadingByPositionStaysRightAcrossChanges) {
  char ip[32];
  for (int i = 0; i < 50; ++i) {
    snprintf(ip, sizeof(ip), "10.3.0.%d", i + 1);
    ASSERT_EQ(1, AddMonitorNode(RecordFor(ip, nullptr)));
  }
  auto at = [&](int i) { return *reinterpret_cast<const uint32_t*>(Node(i).agent.agentIpAddr); };
  EXPECT_EQ(Addr("10.3.0.11"), at(10));
  EXPECT_EQ(Addr("10.3.0.12"), at(11));
  EXPECT_EQ(Addr("10.3.0.5"), at(4));  // backwards
  EXPECT_EQ(Addr("10.3.0.5"), at(4));  // the same again
  uint32_t gone = Addr("10.3.0.3");
  DelMonitorNode(reinterpret_cast<uint8_t*>(&gone));
  EXPECT_EQ(Addr("10.3.0.6"), at(4));
  EXPECT_EQ(Addr("10.3.0.50"), at(48));
  MonitorNodeCopy c;
  EXPECT_EQ(0, GetMonitorNode(49, &c));
  ASSERT_EQ(1, AddMonitorNode(RecordFor("10.3.1.1", nullptr)));
  EXPECT_EQ(Addr("10.3.1.1"), at(49));
  ClearMonitorList();
  EXPECT_EQ(0, GetMonitorNode(0, &c));
}

class TrapTest : public ::testing::Test {
 protected:
  void SetUp() override { TakeTrapRecords(nullptr); }
  void TearDown() override { TakeTrapRecords(nullptr); }

  // Runs TrapCallback; returns what it printed.
  static std::string Handle(const Datagram& d) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, TrapCallback(d.data(), d.size(), nullptr));
    return testing::internal::GetCapturedStdout();
  }
  static std::vector<TrapRecord> Take() {
    std::vector<TrapRecord> out;
    EXPECT_EQ(1, TakeTrapRecords(&out));
    return out;
  }
  // True when every byte of field after its text is zero.
  template <size_t N>
  static bool ZeroAfterText(const char (&field)[N]) {
    for (size_t i = strnlen(field, N); i < N; ++i)
      if (field[i] != 0) return false;
    return true;
  }
  static int CountIn(const std::string& log) {
    std::smatch m;
    if (!std::regex_search(log, m, std::regex("receive trap number : (\\d+) \n"))) return -1;
    return std::stoi(m[1]);
  }
};

TEST_F(TrapTest, RecordsOfBothTypesInArrivalOrder) {
  const uint8_t addr[4] = {0xC0, 0xA8, 0x00, 0x05};
  std::string log1 = Handle(Datagram(kMsgTrap, kMacA).Raw(addr, 4).Raw("link 3 down", 12));
  std::string location21 = "abcdefghijklmnopqrstu";
  std::string log2 = Handle(Datagram(kMsgAgentTrap, kMacB)
                                .Tlv(3, location21)
                                .Tlv(4, Ip4("10.2.0.9"))
                                .Tlv(30, "first part")
                                .Tlv(31, "fan failure"));
  int n1 = CountIn(log1), n2 = CountIn(log2);
  ASSERT_GE(n1, 1);
  EXPECT_EQ(n1 + 1, n2);  // the counter goes on from trap to trap
  EXPECT_NE(std::string::npos, log1.find("Cmd Send: trap."));

  std::vector<TrapRecord> traps = Take();
  ASSERT_EQ(2u, traps.size());
  EXPECT_STREQ("192.168.0.5", traps[0].ip);
  EXPECT_STREQ("", traps[0].location);
  EXPECT_STREQ("link 3 down", traps[0].string);
  EXPECT_TRUE(std::regex_match(std::string(traps[0].time),
                               std::regex("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}")));
  EXPECT_STREQ("10.2.0.9", traps[1].ip);
  EXPECT_EQ(location21.substr(0, 20), traps[1].location);
  EXPECT_STREQ("fan failure", traps[1].string);
  for (const TrapRecord& t : traps) {
    EXPECT_TRUE(ZeroAfterText(t.time) && ZeroAfterText(t.ip) && ZeroAfterText(t.location) &&
                ZeroAfterText(t.string));
  }
  // Each trap is handed over once.
  EXPECT_TRUE(Take().empty());
}

TEST_F(TrapTest, OversizeAndTruncatedTrapsStayInsideTheirFields) {
  const uint8_t addr[4] = {10, 1, 0, 2};
  // 300 characters and no NUL in the datagram: cut to 255 and terminated.
  std::string longText(300, 'x');
  Handle(Datagram(kMsgTrap).Raw(addr, 4).Raw(longText.data(), longText.size()));
  // The text ends at the end of the datagram without its NUL.
  Handle(Datagram(kMsgTrap).Raw(addr, 4).Raw("no nul", 6));
  // Only two address bytes: the missing ones read as zero, no text.
  Handle(Datagram(kMsgTrap).Raw(addr, 2));
  // A type 16 trap whose TLV 31 overruns the error text.
  Handle(Datagram(kMsgAgentTrap).Tlv(31, std::string(400, 'y')));
  // Shorter than the header: nothing recorded, nothing printed.
  Datagram whole(kMsgTrap);
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, TrapCallback(whole.data(), kHeaderSize - 1, nullptr));
  EXPECT_EQ(1, TrapCallback(nullptr, 100, nullptr));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());

  std::vector<TrapRecord> traps = Take();
  ASSERT_EQ(4u, traps.size());
  EXPECT_EQ(std::string(255, 'x'), traps[0].string);
  EXPECT_EQ('\0', traps[0].string[255]);
  EXPECT_STREQ("10.1.0.2", traps[0].ip);
  EXPECT_STREQ("no nul", traps[1].string);
  EXPECT_STREQ("10.1.0.0", traps[2].ip);
  EXPECT_STREQ("", traps[2].string);
  EXPECT_EQ(std::string(255, 'y'), traps[3].string);
  EXPECT_STREQ("0.0.0.0", traps[3].ip);
}

}  // namespace
}  // namespace torvane
