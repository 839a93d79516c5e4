// Tests of the device-set engine: registration in the request tracker, the
// set matching, the completion of operate nodes and the time-out check. The
// bytes of set requests are checked on the wire by the integration tests.
// The test process has no local address, so the senders register their
// pending requests but send nothing.

#include "engine/device_set.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/adapters.h"
#include "engine/agent_table.h"
#include "engine/receive.h"
#include "engine/request_tracker.h"
#include "engine/settings.h"
#include "platform/tick.h"

namespace torvane {
namespace {

constexpr uint32_t kCookie = 0x0A0B0C0D;
const uint8_t kMacA[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x01};
const uint8_t kMacB[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x02};

int g_pushes = 0;
int CountPush(const char* text) {
  EXPECT_STREQ(text, "device_set");
  ++g_pushes;
  return 0;
}

AgentRecord Record(const uint8_t* mac) {
  AgentRecord r;
  memset(&r, 0, sizeof(r));
  memcpy(r.macAddr, mac, 6);
  const uint8_t ip[4] = {10, 1, 0, 2}, mask[4] = {255, 255, 255, 0}, gw[4] = {10, 1, 0, 254},
                trap[4] = {10, 1, 0, 9};
  memcpy(r.agentIpAddr, ip, 4);
  memcpy(r.agentNetmask, mask, 4);
  memcpy(r.agentGateway, gw, 4);
  memcpy(r.trapIpAddr, trap, 4);
  strcpy(r.oldPassword, "old");
  strcpy(r.systemName, "sent");
  r.dhcpMode = 2;
  r.agentInterfaceVer = 2;
  return r;
}

class DeviceSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LocalAddressCount(), 0u) << "this process must not send";
    previousCookie_ = Settings().magicCookie.exchange(kCookie);
    ClearOperateList();
    ClearRequestTracker();
    ClearAgentTable();
    g_pushes = 0;
    previousPush_ = SetOperatePushSender(&CountPush);
  }
  void TearDown() override {
    SetOperatePushSender(previousPush_);
    Settings().magicCookie = previousCookie_;
    ClearOperateList();
    ClearRequestTracker();
    ClearAgentTable();
  }

  // Sequence numbers of the pending requests, oldest first.
  static std::vector<uint16_t> PendingSequences() {
    std::vector<uint16_t> seqs;
    ForEachPendingRequest([&](const PendingRequest& r) { seqs.push_back(r.sequence); });
    return seqs;
  }

  // A set reply of a switch with the given MAC, status and system name.
  static ReceivedPacket Reply(uint16_t type, uint16_t seq, const uint8_t* mac, uint16_t status,
                              const char* name = "answered", uint32_t cookie = kCookie) {
    ReceivedPacket p;
    p.recvTick = GetTickMs();
    p.msgType = type;
    p.sequence = seq;
    memcpy(p.mac, mac, 6);
    uint8_t* d = p.data;
    PutBe16(d + kOffVersion, 2);
    memcpy(d + kOffMac, mac, 6);
    PutBe16(d + kOffType, type);
    PutBe16(d + kOffStatus, status);
    PutBe32(d + kOffCookie, cookie);
    PutBe16(d + kOffSequence, seq);
    size_t n = kHeaderSize;
    n += PutTlv(d, sizeof(p.data), n, 2, name, strlen(name));
    const uint8_t ip[4] = {10, 1, 0, 77};
    n += PutTlv(d, sizeof(p.data), n, 4, ip, 4);
    p.length = static_cast<uint32_t>(n);
    return p;
  }
  PushSender previousPush_ = nullptr;
  uint32_t previousCookie_ = 0;
};

TEST_F(DeviceSetTest, SendRegistersBeforeSendingAndAlwaysAddsANode) {
  AgentRecord r = Record(kMacA);
  // No local address: nothing goes out, yet the request is registered.
  EXPECT_EQ(SendDeviceSet(r, kSetConfig), 0);
  int count = 0;
  ForEachPendingRequest([&](const PendingRequest& p) {
    ++count;
    EXPECT_EQ(p.timeoutMs, 50000u);
    EXPECT_EQ(p.requestType, kMsgSetRequest);
    EXPECT_EQ(p.replyType, kMsgSetReply);
    EXPECT_EQ(p.altReplyType, kMsgSetReply2);
    EXPECT_NE(p.sequence, 0);
    EXPECT_EQ(memcmp(p.targetMac, kMacA, 6), 0);
    EXPECT_EQ(p.callback, &DevSetCallback);
    EXPECT_EQ(p.suppressCallback, 0);
  });
  EXPECT_EQ(count, 1);

  // An unknown kind sends and registers nothing, but still has a node.
  EXPECT_EQ(SendDeviceSet(r, 7), 0);
  EXPECT_EQ(PendingRequestCount(), 1u);
  auto nodes = CopyOperateList();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].kind, 0);
  EXPECT_EQ(nodes[1].kind, 7);
  for (const auto& n : nodes) {
    EXPECT_EQ(n.result, kOperatePending);
    EXPECT_EQ(n.timeoutMs, 50000u);
    EXPECT_EQ(memcmp(&n.agent, &r, sizeof(r)), 0);
  }
}

TEST_F(DeviceSetTest, MismatchedRepliesChangeNothing) {
  AppendAgentRecord(Record(kMacA));
  AgentRecord loader = Record(kMacB);
  loader.isLoaderMode = 1;
  loader.agentInterfaceVer = 4;
  SendDeviceSet(Record(kMacA), kSetConfig);
  SendDeviceSet(loader, kSetConfig);
  auto seqs = PendingSequences();
  ASSERT_EQ(seqs.size(), 2u);

  ReceivedPacket truncated = Reply(kMsgSetReply, seqs[0], kMacA, 1);
  truncated.length = kHeaderSize - 1;
  EXPECT_EQ(SetProcess(truncated), 0);
  EXPECT_EQ(SetProcess(Reply(kMsgSetReply, seqs[0], kMacA, 1, "x", kCookie + 1)), 0);
  EXPECT_EQ(SetProcess(Reply(kMsgSetReply, static_cast<uint16_t>(seqs[1] + 1), kMacA, 1)), 1);
  EXPECT_EQ(SetProcess(Reply(kMsgLoaderSetReply, seqs[0], kMacA, 1)), 1);  // type 3: 4 or 8
  EXPECT_EQ(SetProcess(Reply(kMsgSetReply, seqs[0], kMacB, 1)), 1);   // another switch
  EXPECT_EQ(SetProcess(Reply(kMsgSetReply, seqs[1], kMacB, 1)), 1);   // loader: only type 15
  EXPECT_EQ(SetProcess(Reply(kMsgSetReply2, seqs[1], kMacB, 1)), 1);
  EXPECT_EQ(PendingRequestCount(), 2u);
  for (const auto& n : CopyOperateList()) EXPECT_EQ(n.result, kOperatePending);
  EXPECT_EQ(g_pushes, 0);
  EXPECT_STREQ(CopyAgentTable()[0].systemName, "sent");

  EXPECT_EQ(SetProcess(Reply(kMsgLoaderSetReply, seqs[1], kMacB, 0)), 1);
  auto nodes = CopyOperateList();
  EXPECT_EQ(nodes[1].result, 0);
  EXPECT_EQ(nodes[1].agent.isLoaderMode, 1u);

  // A reply 50000 ms after its request is dropped and frees the request.
  uint32_t start = 0;
  ForEachPendingRequest([&](const PendingRequest& p) { start = p.startTick; });
  ReceivedPacket late = Reply(kMsgSetReply, seqs[0], kMacA, 3);
  late.recvTick = start + 50000;
  EXPECT_EQ(SetProcess(late), 1);
  EXPECT_EQ(PendingRequestCount(), 0u);
  EXPECT_EQ(CopyOperateList()[0].result, kOperatePending);
  EXPECT_EQ(g_pushes, 1);

  // A callback without a whole header has no status to give.
  EXPECT_EQ(DevSetCallback(late.data, kHeaderSize - 1, nullptr), 1);
  EXPECT_EQ(DevSetCallback(nullptr, 100, nullptr), 1);
  EXPECT_EQ(CopyOperateList()[0].result, kOperatePending);

  // The second form of the set reply completes a type-3 request (and, as
  // any reply, every pending node of its switch).
  SendDeviceSet(Record(kMacA), kSetConfig);
  seqs = PendingSequences();
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(SetProcess(Reply(kMsgSetReply2, seqs[0], kMacA, 5)), 1);
  EXPECT_EQ(PendingRequestCount(), 0u);
  nodes = CopyOperateList();
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0].result, 5);
  EXPECT_EQ(nodes[2].result, 5);
  EXPECT_EQ(g_pushes, 3);
}

TEST_F(DeviceSetTest, TimeOutAfterFiftySecondsWithOnePushPerPass) {
  AddOperateNode(Record(kMacA), kSetConfig);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  AddOperateNode(Record(kMacB), 7);
  AddOperateNode(Record(kMacB), 1);
  auto nodes = CopyOperateList();
  const uint32_t first = nodes[0].startTick, later = nodes[2].startTick;
  ASSERT_GT(later - first, 1u);
  // Exactly 50000 ms old is not yet late; one more millisecond is.
  EXPECT_EQ(CheckOperateTimeoutAt(first + 50000), 0);
  EXPECT_EQ(CheckOperateTimeoutAt(first + 50001), 1);
  EXPECT_EQ(g_pushes, 1);
  EXPECT_EQ(CheckOperateTimeoutAt(later + 50001), 2);  // two nodes, one push
  EXPECT_EQ(g_pushes, 2);
  for (const auto& n : CopyOperateList()) {
    EXPECT_EQ(n.result, kOperateTimedOut);
    EXPECT_STREQ(n.agent.systemName, "sent");  // what was sent stays
  }
  // Finished nodes are final: neither a later check nor a reply changes them.
  g_pushes = 0;
  EXPECT_EQ(CheckOperateTimeoutAt(later + 90000), 0);
  ReceivedPacket p = Reply(kMsgSetReply, 1, kMacA, 0);
  EXPECT_EQ(DevSetCallback(p.data, p.length, nullptr), 1);
  EXPECT_EQ(CopyOperateList()[0].result, kOperateTimedOut);
  EXPECT_EQ(g_pushes, 0);
}

TEST_F(DeviceSetTest, GetOperateResultTakesFinishedNodesInOrder) {
  AddOperateNode(Record(kMacA), 0);  // stays pending
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  AgentRecord answered = Record(kMacB);
  AddOperateNode(answered, 1);
  AgentRecord third = Record(kMacA);
  third.macAddr[5] = 3;
  AddOperateNode(third, 2);
  ReceivedPacket reply = Reply(kMsgSetReply, 1, kMacB, 6);
  DevSetCallback(reply.data, reply.length, nullptr);
  // A check at a tick before the later nodes' start: their age wraps past
  // the time-out while the first node is 1 ms old.
  const uint32_t first = CopyOperateList()[0].startTick;
  EXPECT_EQ(CheckOperateTimeoutAt(first + 1), 1);
  AgentRecord fourth = Record(kMacA);
  fourth.macAddr[5] = 4;
  AddOperateNode(fourth, 0);

  std::vector<OperateNode> out;
  EXPECT_EQ(GetOperateResult(&out), 1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].kind, 1);
  EXPECT_EQ(out[0].result, 6);
  EXPECT_EQ(out[1].kind, 2);
  EXPECT_EQ(out[1].result, kOperateTimedOut);
  auto left = CopyOperateList();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].agent.macAddr[5], 1);
  EXPECT_EQ(left[1].agent.macAddr[5], 4);

  out.clear();
  EXPECT_EQ(GetOperateResult(&out), 1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(CopyOperateList().size(), 2u);
}

}  // namespace
}  // namespace torvane
