// Tests of the bounds on what received datagrams can make the engine hold:
// the drop report's rate limit, the trap list, the packet queues, the agent
// table and a discovery cycle's answered MACs.

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "engine/agent_table.h"
#include "engine/discovery.h"
#include "engine/drop_report.h"
#include "engine/monitor.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/request_tracker.h"
#include "engine/settings.h"

namespace torvane {
namespace {

constexpr uint32_t kCookie = 0x0A0B0C0D;
const std::regex kLine("(\\d+) things dropped since \\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2} \n");

// The counts of every report line in out, in order.
std::vector<int> ReportedCounts(const std::string& out, const std::regex& line = kLine) {
  std::vector<int> counts;
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
    counts.push_back(std::stoi((*it)[1]));
  return counts;
}

TEST(DropReportTest, FirstDropAtOnceThenAtMostOneLineAMinuteAndNothingLost) {
  DropReport report("things");
  testing::internal::CaptureStdout();
  report.Note(1000);                                    // line: 1
  for (int i = 0; i < 500; ++i) report.Note(2000 + i);  // within the minute: counted only
  report.Flush(60999);                                  // 59.999 s after the line: not yet
  std::string early = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReportedCounts(early), (std::vector<int>{1}));
  EXPECT_EQ(report.Pending(), 500u);

  testing::internal::CaptureStdout();
  report.Flush(61000);  // the flood's tail, reported without a further drop
  report.Flush(200000);  // nothing pending: silent
  report.Note(200000, 3);  // more than a minute after the last line: at once
  report.Note(200001);
  std::string later = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReportedCounts(later), (std::vector<int>{500, 3}));
  EXPECT_EQ(report.Total(), 505u);
  EXPECT_EQ(report.Pending(), 1u);

  // Across the wrap of the tick counter the minute is still a minute.
  DropReport wrapped("things");
  testing::internal::CaptureStdout();
  wrapped.Note(0xFFFFF000u);
  wrapped.Note(100);      // 4196 ms later
  wrapped.Flush(56000);   // 59.8 s after the line
  wrapped.Flush(57000);   // 60.8 s after it
  EXPECT_EQ(ReportedCounts(testing::internal::GetCapturedStdout()), (std::vector<int>{1, 1}));
}

TEST(DropReportTest, TestLimitsCanOnlyLowerTheDefault) {
  setenv("TORVANE_TEST_SOME_LIMIT", "50", 1);
  EXPECT_EQ(LimitFromEnvironment("TORVANE_TEST_SOME_LIMIT", 100), 50u);
  EXPECT_EQ(LimitFromEnvironment("TORVANE_TEST_SOME_LIMIT", 20), 20u);
  for (const char* bad : {"0", "-5", "12x", "", "99999999999999999999999"}) {
    setenv("TORVANE_TEST_SOME_LIMIT", bad, 1);
    EXPECT_EQ(LimitFromEnvironment("TORVANE_TEST_SOME_LIMIT", 100), 100u) << bad;
  }
  unsetenv("TORVANE_TEST_SOME_LIMIT");
  EXPECT_EQ(LimitFromEnvironment("TORVANE_TEST_SOME_LIMIT", 100), 100u);
}

// --- Trap list -----------------------------------------------------------------

class TrapLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = TrapListLimit();
    TakeTrapRecords(nullptr);
    Settings().magicCookie = kCookie;
  }
  void TearDown() override {
    SetTrapListLimit(saved_);
    TakeTrapRecords(nullptr);
  }
  // A type 9 trap whose text is its number.
  static void Trap(int n) {
    uint8_t d[kMaxDatagram] = {};
    BuildHeader(d, kMsgTrap);
    PutBe32(d + kOffCookie, kCookie);
    std::string text = "trap " + std::to_string(n);
    memcpy(d + kHeaderSize + 4, text.c_str(), text.size() + 1);
    EXPECT_EQ(1, TrapCallback(d, kHeaderSize + 4 + text.size() + 1, nullptr));
  }
  static int LastCount(const std::string& log) {
    int last = -1;
    std::regex re("receive trap number : (\\d+) \n");
    for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it)
      last = std::stoi((*it)[1]);
    return last;
  }
  size_t saved_ = 0;
};

TEST_F(TrapLimitTest, FullListKeepsTheNewestInOrderAndTheCounterCountsEveryTrap) {
  EXPECT_EQ(kTrapListLimit, 10000u);
  SetTrapListLimit(5);
  uint64_t droppedBefore = DroppedTrapCount();
  testing::internal::CaptureStdout();
  Trap(0);
  std::string first = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  for (int i = 1; i < 12; ++i) Trap(i);
  std::string log = testing::internal::GetCapturedStdout();

  // Every trap is counted, logged and pushed, kept or not.
  EXPECT_EQ(LastCount(log), LastCount(first) + 11);
  std::regex push("Cmd Send: trap\\.");
  EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), push),
                          std::sregex_iterator()),
            11);
  // At most one drop line for the seven drops, whatever earlier tests
  // printed.
  std::regex dropLine("(\\d+) traps dropped since ");
  EXPECT_LE(ReportedCounts(log, dropLine).size(), 1u);
  EXPECT_EQ(DroppedTrapCount() - droppedBefore, 7u);

  std::vector<TrapRecord> kept;
  TakeTrapRecords(&kept);
  ASSERT_EQ(kept.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(std::string(kept[i].string), "trap " + std::to_string(7 + i));

  // Taken, the list starts again from empty; a lowered limit trims at the
  // next trap.
  SetTrapListLimit(3);
  for (int i = 0; i < 2; ++i) Trap(100 + i);
  SetTrapListLimit(1);
  Trap(200);
  kept.clear();
  TakeTrapRecords(&kept);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_STREQ(kept[0].string, "trap 200");
}

// --- Packet queues -------------------------------------------------------------

TEST(PacketQueueLimitTest, FullQueueDropsTheOldestAndReportsIt) {
  DropReport report("things");
  PacketQueue queue(4, &report);
  testing::internal::CaptureStdout();
  for (uint32_t i = 0; i < 10; ++i) {
    std::unique_ptr<ReceivedPacket> rec(new ReceivedPacket);
    rec->length = i;
    EXPECT_TRUE(queue.Append(std::move(rec)));
    EXPECT_LE(queue.Size(), 4u);
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(queue.Dropped(), 6u);
  EXPECT_EQ(report.Total(), 6u);
  EXPECT_EQ(ReportedCounts(out), (std::vector<int>{1}));  // the rest within the minute
  for (uint32_t want = 6; want < 10; ++want) {
    std::unique_ptr<ReceivedPacket> rec = queue.TakeOldest();
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->length, want);
  }
  EXPECT_FALSE(queue.TakeOldest());
  EXPECT_EQ(kPacketQueueLimit, ReplyQueue().Limit());
  EXPECT_EQ(kPacketQueueLimit, UpgradeQueue().Limit());
}

TEST(PacketQueueLimitTest, RoutingRespectsTheLimitOfBothQueues) {
  // A discovery reply goes to both queues; a flood of them leaves each at
  // its limit with the newest records.
  size_t savedReply = ReplyQueue().Limit(), savedUpgrade = UpgradeQueue().Limit();
  ReplyQueue().Clear();
  UpgradeQueue().Clear();
  ReplyQueue().SetLimit(3);
  UpgradeQueue().SetLimit(2);
  testing::internal::CaptureStdout();
  for (uint16_t seq = 1; seq <= 8; ++seq) {
    std::unique_ptr<ReceivedPacket> rec(new ReceivedPacket);
    rec->msgType = kMsgDiscoveryReply;
    rec->sequence = seq;
    rec->length = kHeaderSize;
    bool signalReply = false, signalUpgrade = false;
    QueueReceivedPacket(std::move(rec), &signalReply, &signalUpgrade);
    EXPECT_TRUE(signalReply && signalUpgrade);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReplyQueue().Size(), 3u);
  EXPECT_EQ(UpgradeQueue().Size(), 2u);
  EXPECT_EQ(ReplyQueue().TakeOldest()->sequence, 6);
  EXPECT_EQ(UpgradeQueue().TakeOldest()->sequence, 7);
  ReplyQueue().Clear();
  UpgradeQueue().Clear();
  ReplyQueue().SetLimit(savedReply);
  UpgradeQueue().SetLimit(savedUpgrade);
}

// --- Agent table and answered MACs ------------------------------------------------

class AgentLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = AgentTableLimit();
    ClearAgentTable();
    ClearRequestTracker();
    Settings().magicCookie = kCookie;
  }
  void TearDown() override {
    SetAgentTableLimit(saved_);
    ClearAgentTable();
    ClearRequestTracker();
  }
  // A discovery reply of the switch with MAC 02-00-00-00-xx-yy (n).
  static ReceivedPacket Reply(uint16_t seq, uint32_t n, uint32_t tick) {
    ReceivedPacket p;
    BuildHeader(p.data, kMsgDiscoveryReply);
    PutBe32(p.data + kOffCookie, kCookie);
    p.data[kOffMac] = 0x02;
    PutBe32(p.data + kOffMac + 2, n);
    PutBe16(p.data + kOffSequence, seq);
    p.msgType = kMsgDiscoveryReply;
    p.sequence = seq;
    memcpy(p.mac, p.data + kOffMac, 6);
    p.length = kHeaderSize;
    p.recvTick = tick;
    return p;
  }
  size_t saved_ = 0;
};

TEST_F(AgentLimitTest, ForgedRepliesStopAtTheLimitAndTheFirstSwitchesStay) {
  EXPECT_EQ(kAgentTableLimit, 16384u);
  SetAgentTableLimit(10);
  RegisterRequest(MakeDiscoveryRequest(77, 1000));
  uint64_t droppedBefore = DroppedAgentRecordCount();
  testing::internal::CaptureStdout();
  int accepted = 0;
  for (uint32_t n = 1; n <= 50; ++n) accepted += MatchDiscovery(Reply(77, n, 1000 + n));
  // A switch already listed is still a duplicate, not a drop.
  EXPECT_EQ(MatchDiscovery(Reply(77, 3, 1100)), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(accepted, 50);  // matched, but only ten fit
  std::vector<AgentRecord> table = CopyAgentTable();
  ASSERT_EQ(table.size(), 10u);
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(GetBe32(table[i].macAddr + 2), i + 1);
  EXPECT_EQ(DroppedAgentRecordCount() - droppedBefore, 40u);
  EXPECT_LE(ReportedCounts(out, std::regex("(\\d+) discovery replies dropped since ")).size(), 1u);
  size_t answered = 0;
  ForEachPendingRequest([&](const PendingRequest& r) { answered = r.answeredMacs.size(); });
  EXPECT_EQ(answered, 10u);

  // A new cycle empties the table; the next switches fit again.
  ClearAgentTable();
  RegisterRequest(MakeDiscoveryRequest(78, 2000));
  EXPECT_EQ(MatchDiscovery(Reply(78, 500, 2100)), 1);
  EXPECT_EQ(CopyAgentTable().size(), 1u);
  EXPECT_EQ(AppendAgentRecord(table[0]), 1);
}

}  // namespace
}  // namespace torvane
