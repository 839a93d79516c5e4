// Tests of discovery matching into the agent table, the switch list
// operations built on it, and the IGMP report. They use the process-wide
// request tracker, agent table and monitor list (emptied around each test)
// and never open a socket: no local address exists here, so nothing is
// sent.

#include "engine/discovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/adapters.h"
#include "engine/agent_table.h"
#include "engine/dispatch.h"
#include "engine/igmp.h"
#include "engine/monitor.h"
#include "engine/protocol.h"
#include "engine/request_tracker.h"
#include "engine/settings.h"
#include "soapH.h"

namespace torvane {
namespace {

constexpr uint32_t kCookie = 0x0A0B0C0D;
constexpr uint32_t kStart = 100000;

std::vector<uint8_t> Tlv(uint16_t type, const std::string& value) {
  std::vector<uint8_t> t(4 + value.size());
  PutBe16(t.data(), type);
  PutBe16(t.data() + 2, static_cast<uint16_t>(value.size() + 4));
  memcpy(t.data() + 4, value.data(), value.size());
  return t;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedCookie_ = Settings().magicCookie.load();
    Settings().magicCookie = kCookie;
    ClearRequestTracker();
    ClearAgentTable();
    ClearMonitorList();
  }
  void TearDown() override {
    ClearRequestTracker();
    ClearAgentTable();
    ClearMonitorList();
    Settings().magicCookie = savedCookie_;
  }

  static void Register(uint16_t seq) { RegisterRequest(MakeDiscoveryRequest(seq, kStart)); }

  // A discovery reply from the switch whose MAC ends in last, carrying its
  // product name and system name as TLVs 1 and 2.
  static ReceivedPacket Reply(uint16_t type, uint16_t seq, uint8_t last, uint32_t after = 10,
                              uint32_t cookie = kCookie, const std::string& name = "Sim 8P  ") {
    ReceivedPacket p;
    uint8_t mac[6] = {0x02, 0, 0, 0, 0, last};
    BuildHeader(p.data, type);
    memcpy(p.data + kOffMac, mac, 6);
    PutBe32(p.data + kOffCookie, cookie);
    PutBe16(p.data + kOffSequence, seq);
    size_t len = kHeaderSize;
    std::string sysName = "sw-" + std::to_string(last);
    for (const auto& t : {Tlv(1, name), Tlv(2, sysName)}) {
      memcpy(p.data + len, t.data(), t.size());
      len += t.size();
    }
    p.length = static_cast<uint32_t>(len);
    p.msgType = type;
    p.sequence = seq;
    memcpy(p.mac, mac, 6);
    p.recvTick = kStart + after;
    return p;
  }

  uint32_t savedCookie_ = 0;
};

TEST_F(DiscoveryTest, RequestIsRegisteredWithTheDiscoveryValues) {
  std::unique_ptr<PendingRequest> req = MakeDiscoveryRequest(77, kStart);
  ASSERT_TRUE(req);
  EXPECT_EQ(req->startTick, kStart);
  EXPECT_EQ(req->timeoutMs, 3000u);
  EXPECT_EQ(req->requestType, 1);
  EXPECT_EQ(req->replyType, 2);
  EXPECT_EQ(req->altReplyType, 12);
  EXPECT_EQ(req->sequence, 77);
  EXPECT_EQ(req->callback, &DiscoveryReplyCallback);
  EXPECT_EQ(req->suppressCallback, 0);
  const uint8_t zero[6] = {};
  EXPECT_EQ(memcmp(req->targetMac, zero, 6), 0);
}

TEST_F(DiscoveryTest, WithoutLocalAddressNothingIsSentOrRegistered) {
  // Never send from the test's own namespace.
  ASSERT_EQ(LocalAddressCount(), 0u);
  EXPECT_EQ(StartDiscovery(), 0);
  EXPECT_EQ(PendingRequestCount(), 0u);
}

TEST_F(DiscoveryTest, EachSwitchEntersOncePerCycleWithItsFields) {
  Register(5);
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 5, 1)), 1);
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 5, 2)), 1);
  // The multicast copy of switch 1's answer, and its loader-mode form.
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 5, 1, 20)), 0);
  EXPECT_EQ(MatchDiscovery(Reply(kMsgLoaderDiscoveryReply, 5, 1, 30)), 0);
  // Type 12 from a new switch is listed, in loader mode.
  EXPECT_EQ(MatchDiscovery(Reply(kMsgLoaderDiscoveryReply, 5, 3)), 1);

  std::vector<AgentRecord> table = CopyAgentTable();
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].macAddr[5], 1);
  EXPECT_STREQ(table[0].productName, "Sim 8P");  // trailing blanks removed
  EXPECT_STREQ(table[0].systemName, "sw-1");
  EXPECT_EQ(table[0].isLoaderMode, 0u);
  EXPECT_EQ(table[0].dhcpMode, 2);  // no TLV 10: the default
  EXPECT_EQ(table[1].macAddr[5], 2);
  EXPECT_EQ(table[2].macAddr[5], 3);
  EXPECT_EQ(table[2].isLoaderMode, 1u);
}

TEST_F(DiscoveryTest, RepliesThatDoNotBelongAddNothing) {
  Register(5);
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 5, 1, 10, kCookie + 1)), 0);  // cookie
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 6, 2)), 0);  // no such sequence
  ReceivedPacket shortOne = Reply(kMsgDiscoveryReply, 5, 3);
  shortOne.length = kHeaderSize - 1;
  EXPECT_EQ(MatchDiscovery(shortOne), 0);
  EXPECT_TRUE(CopyAgentTable().empty());
  // The wrong cookie did not mark switch 1 as answered.
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 5, 1)), 1);
  EXPECT_EQ(CopyAgentTable().size(), 1u);
}

TEST_F(DiscoveryTest, LateReplyEndsTheCycle) {
  Register(9);
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 9, 1, 2999)), 1);
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 9, 2, 3000)), 0);
  EXPECT_EQ(PendingRequestCount(), 0u);
  // A reply still in time for the request, but after it was dropped.
  EXPECT_EQ(MatchDiscovery(Reply(kMsgDiscoveryReply, 9, 3, 100)), 0);
  EXPECT_EQ(CopyAgentTable().size(), 1u);
}

TEST_F(DiscoveryTest, ReplyDispatcherRoutesDiscoveryReplies) {
  Register(11);
  DispatchReply(Reply(kMsgDiscoveryReply, 11, 1));
  DispatchReply(Reply(kMsgLoaderDiscoveryReply, 11, 2));
  DispatchReply(Reply(kMsgMonitorReply, 11, 3));  // not a discovery reply
  std::vector<AgentRecord> table = CopyAgentTable();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[1].isLoaderMode, 1u);
}

// --- The switch list -----------------------------------------------------------

class SwitchListTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    soap_ = soap_new();
  }
  void TearDown() override {
    soap_destroy(soap_);
    soap_end(soap_);
    soap_free(soap_);
    DiscoveryTest::TearDown();
  }

  static AgentRecord Record(uint8_t last, uint8_t ipLast) {
    AgentRecord rec;
    memset(&rec, 0, sizeof(rec));
    rec.macAddr[0] = 0x02;
    rec.macAddr[5] = last;
    const uint8_t ip[4] = {10, 1, 0, ipLast};
    memcpy(rec.agentIpAddr, ip, 4);
    snprintf(rec.systemName, sizeof(rec.systemName), "sw-%u", last);
    return rec;
  }

  std::vector<std::string> Macs(const ns__SwitchInfoList& list) {
    std::vector<std::string> macs;
    for (const ns__SwitchInfo& info : list.arrList) macs.push_back(info.macAddr);
    return macs;
  }

  struct soap* soap_ = nullptr;
};

TEST_F(SwitchListTest, EmptyBeforeAnyDiscovery) {
  ns__SwitchInfoList list;
  ASSERT_EQ(ns__GetSwitchInfoList(soap_, 0, list), SOAP_OK);
  EXPECT_EQ(list.nErrorCode, 0);
  EXPECT_EQ(list.nSwitchNum, 0);
  EXPECT_TRUE(list.arrList.empty());
}

TEST_F(SwitchListTest, WatchedFirstThenDiscoveredEachMacOnce) {
  AppendAgentRecord(Record(1, 11));
  AppendAgentRecord(Record(2, 12));
  AppendAgentRecord(Record(1, 11));  // a second cycle within 3000 ms
  AppendAgentRecord(Record(3, 13));
  ASSERT_EQ(AddMonitorNode(Record(3, 13)), 1);

  ns__SwitchInfoList list;
  ASSERT_EQ(ns__GetSwitchInfoList(soap_, 1, list), SOAP_OK);
  EXPECT_EQ(list.nSwitchNum, 3);
  EXPECT_EQ(Macs(list),
            (std::vector<std::string>{"02-00-00-00-00-03", "02-00-00-00-00-01",
                                      "02-00-00-00-00-02"}));
  EXPECT_EQ(list.arrList[0].agentIpAddr, "10.1.0.13");
  EXPECT_EQ(list.arrList[1].systemName, L"sw-1");

  // Without the monitored part the same switch is listed among the
  // discovered ones.
  ns__SwitchInfoList plain;
  ASSERT_EQ(ns__GetSwitchInfoList(soap_, 0, plain), SOAP_OK);
  EXPECT_EQ(Macs(plain), (std::vector<std::string>{"02-00-00-00-00-01", "02-00-00-00-00-02",
                                                   "02-00-00-00-00-03"}));
}

TEST_F(SwitchListTest, MoreWatchedSwitchesThanExistIsAFault) {
  ASSERT_EQ(AddMonitorNode(Record(3, 13)), 1);
  AppendAgentRecord(Record(1, 11));
  ns__SwitchInfoList list;
  EXPECT_NE(ns__GetSwitchInfoList(soap_, 2, list), SOAP_OK);
  EXPECT_TRUE(list.arrList.empty());
}

TEST_F(SwitchListTest, DiscoverWithoutLocalAddressIsAFaultAndEmptiesTheTable) {
  ASSERT_EQ(LocalAddressCount(), 0u);
  AppendAgentRecord(Record(1, 11));
  ns__SetDiscoverToAgentsResponse response;
  EXPECT_NE(ns__SetDiscoverToAgents(soap_, 0, "", response), SOAP_OK);
  EXPECT_TRUE(CopyAgentTable().empty());
}

// --- IGMP report ---------------------------------------------------------------

TEST(IgmpReportTest, ReportBytesForTheDefaultGroup) {
  uint8_t report[kIgmpReportSize];
  BuildIgmpReport(htonl(0xEFFFFF64), report);  // 239.255.255.100
  const uint8_t expected[kIgmpReportSize] = {0x12, 0x00, 0xFE, 0x9A, 0xEF, 0xFF, 0xFF, 0x64};
  EXPECT_EQ(memcmp(report, expected, sizeof(expected)), 0);
  // A correct checksum sums to zero over the whole report.
  EXPECT_EQ(InternetChecksum(report, sizeof(report)), 0);
  EXPECT_EQ(InternetChecksum(reinterpret_cast<const uint8_t*>("\x01"), 1), 0xFEFF);
}

TEST(IgmpReportTest, TimingFollowsTheInterval) {
  EXPECT_FALSE(IgmpReportDue(0, false, 0, 5000));       // 0: no reports
  EXPECT_FALSE(IgmpReportDue(0, true, 0, 0xFFFFFFFF));
  EXPECT_TRUE(IgmpReportDue(120000, false, 0, 5));       // first check: at once
  EXPECT_FALSE(IgmpReportDue(120000, true, 1000, 120999));
  EXPECT_TRUE(IgmpReportDue(120000, true, 1000, 121000));
  EXPECT_TRUE(IgmpReportDue(30000, true, 0xFFFFF000, 30000));  // across the wrap
  EXPECT_FALSE(IgmpReportDue(30000, true, 0xFFFFF000, 20000));
}

}  // namespace
}  // namespace torvane
