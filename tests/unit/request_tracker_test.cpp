// Tests of the request tracker: the discovery and set matching rules and the
// aging sweep, on the process-wide tracker (emptied around each test).

#include "engine/request_tracker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace torvane {
namespace {

const uint8_t kMacA[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x01};
const uint8_t kMacB[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x02};

struct Calls {
  std::vector<int> tags;         // context tag of each call
  std::vector<uint32_t> lengths;
};
Calls* g_calls = nullptr;

int RecordCall(const uint8_t*, size_t length, void* context) {
  g_calls->tags.push_back(static_cast<int>(reinterpret_cast<intptr_t>(context)));
  g_calls->lengths.push_back(static_cast<uint32_t>(length));
  return 1;
}

class RequestTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRequestTracker();
    g_calls = &calls_;
  }
  void TearDown() override {
    ClearRequestTracker();
    g_calls = nullptr;
  }

  // Registers a request; tag identifies it in callbacks.
  void Add(int tag, uint16_t reqType, uint16_t replyType, uint16_t alt, uint16_t seq,
           const uint8_t* target, uint32_t start, uint32_t timeout, int suppress = 0) {
    std::unique_ptr<PendingRequest> r(new PendingRequest);
    r->startTick = start;
    r->timeoutMs = timeout;
    r->requestType = reqType;
    r->replyType = replyType;
    r->altReplyType = alt;
    r->sequence = seq;
    if (target) memcpy(r->targetMac, target, 6);
    r->callback = &RecordCall;
    r->context = reinterpret_cast<void*>(static_cast<intptr_t>(tag));
    r->suppressCallback = suppress;
    RegisterRequest(std::move(r));
  }

  static ReceivedPacket Reply(uint16_t type, uint16_t seq, const uint8_t* mac, uint32_t tick,
                              uint32_t length = 60) {
    ReceivedPacket p;
    p.msgType = type;
    p.sequence = seq;
    memcpy(p.mac, mac, 6);
    p.recvTick = tick;
    p.length = length;
    return p;
  }

  Calls calls_;
};

TEST_F(RequestTrackerTest, DiscoveryAcceptsEachSwitchOncePerRequest) {
  Add(1, kMsgDiscoveryRequest, kMsgDiscoveryReply, kMsgLoaderDiscoveryReply, 7, nullptr, 1000,
      3000);
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 7, kMacA, 1100, 77)), MatchResult::kAccepted);
  EXPECT_EQ(MatchDiscoveryReply(Reply(12, 7, kMacA, 1200)), MatchResult::kDuplicate);
  EXPECT_EQ(MatchDiscoveryReply(Reply(12, 7, kMacB, 1300)), MatchResult::kAccepted);
  // Wrong sequence number, or a type the request does not name.
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 8, kMacB, 1300)), MatchResult::kNoRequest);
  EXPECT_EQ(MatchDiscoveryReply(Reply(4, 7, kMacB, 1300)), MatchResult::kNoRequest);
  ASSERT_EQ(calls_.tags.size(), 2u);
  EXPECT_EQ(calls_.lengths[0], 77u);
  // The request stays for later switches.
  EXPECT_EQ(PendingRequestCount(), 1u);
  size_t answered = 0;
  ForEachPendingRequest([&](const PendingRequest& r) { answered = r.answeredMacs.size(); });
  EXPECT_EQ(answered, 2u);
}

TEST_F(RequestTrackerTest, DiscoveryLateReplyRemovesRequest) {
  Add(1, 1, 2, 12, 9, nullptr, 0xFFFFFC00u, 3000);  // the tick wraps during the cycle
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 9, kMacA, 0x00000100u)), MatchResult::kAccepted);
  // 3000 ms after the request: too late, and the request is gone.
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 9, kMacB, 0xFFFFFC00u + 3000u)), MatchResult::kLate);
  EXPECT_EQ(PendingRequestCount(), 0u);
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 9, kMacB, 0x00000200u)), MatchResult::kNoRequest);
  EXPECT_EQ(calls_.tags.size(), 1u);
}

TEST_F(RequestTrackerTest, DiscoveryOldestFirstAndSuppressedCallback) {
  Add(1, 1, 2, 12, 5, nullptr, 100, 3000, /*suppress=*/1);
  Add(2, 1, 2, 12, 5, nullptr, 200, 3000);
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 5, kMacA, 300)), MatchResult::kAccepted);
  // The older request took it, without a callback; the MAC is remembered.
  EXPECT_TRUE(calls_.tags.empty());
  EXPECT_EQ(MatchDiscoveryReply(Reply(2, 5, kMacA, 300)), MatchResult::kDuplicate);
}

TEST_F(RequestTrackerTest, SetMatchingBySequenceTypeAndMac) {
  Add(1, kMsgSetRequest, kMsgSetReply, 0, 21, kMacA, 1000, 50000);
  std::unique_ptr<PendingRequest> taken;
  // A type-15 reply does not complete a type-3 request.
  EXPECT_EQ(TakeSetRequest(Reply(15, 21, kMacA, 2000), &taken), MatchResult::kNoRequest);
  // Another switch's reply leaves the request in place.
  EXPECT_EQ(TakeSetRequest(Reply(4, 21, kMacB, 2000), &taken), MatchResult::kMacMismatch);
  EXPECT_FALSE(taken);
  EXPECT_EQ(PendingRequestCount(), 1u);
  EXPECT_EQ(TakeSetRequest(Reply(4, 21, kMacA, 2000), &taken), MatchResult::kAccepted);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->context, reinterpret_cast<void*>(1));
  EXPECT_EQ(PendingRequestCount(), 0u);
  // The callback is the caller's to run; the tracker ran none.
  EXPECT_TRUE(calls_.tags.empty());
}

TEST_F(RequestTrackerTest, SetMatchingAcceptsEitherFormAndStopsAtOldestCandidate) {
  // A type-3 request takes a type-4 or a type-8 reply; a type-14 request
  // (no second form) takes neither.
  Add(1, 14, 15, 0, 30, kMacA, 1000, 50000);
  Add(2, 3, 4, 8, 30, kMacB, 1000, 50000);
  Add(3, 3, 4, 8, 30, kMacA, 1000, 50000);
  Add(4, 3, 4, 8, 31, kMacA, 1000, 50000);
  std::unique_ptr<PendingRequest> taken;
  // The oldest type-8 candidate targets B: the search ends there even
  // though a later request targets A.
  EXPECT_EQ(TakeSetRequest(Reply(8, 30, kMacA, 1500), &taken), MatchResult::kMacMismatch);
  EXPECT_EQ(PendingRequestCount(), 4u);
  // A reply exactly timeoutMs late frees the candidate.
  EXPECT_EQ(TakeSetRequest(Reply(8, 30, kMacB, 51000), &taken), MatchResult::kLate);
  EXPECT_EQ(PendingRequestCount(), 3u);
  EXPECT_EQ(TakeSetRequest(Reply(8, 30, kMacA, 1500), &taken), MatchResult::kAccepted);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->context, reinterpret_cast<void*>(3));
  EXPECT_EQ(TakeSetRequest(Reply(4, 31, kMacA, 1500), &taken), MatchResult::kAccepted);
  EXPECT_EQ(taken->context, reinterpret_cast<void*>(4));
  // Only the type-14 request is left, and a reply of type 4 or 8 is not
  // its own.
  EXPECT_EQ(TakeSetRequest(Reply(8, 30, kMacA, 1500), &taken), MatchResult::kNoRequest);
  EXPECT_EQ(TakeSetRequest(Reply(4, 30, kMacA, 1500), &taken), MatchResult::kNoRequest);
  EXPECT_EQ(TakeSetRequest(Reply(15, 30, kMacA, 1500), &taken), MatchResult::kAccepted);
  EXPECT_EQ(taken->context, reinterpret_cast<void*>(1));
}

int g_freed = 0;
void CountFree(void* p) {
  ++g_freed;
  delete static_cast<int*>(p);
}

TEST_F(RequestTrackerTest, AgingFreesExpiredRequestsExceptPolls) {
  Add(1, 1, 2, 12, 1, nullptr, 1000, 3000);   // expires at 4000
  Add(2, 3, 4, 0, 2, kMacA, 1000, 50000);     // expires at 51000
  Add(3, 5, 6, 0, 0, nullptr, 0, 1);          // a poll: never aged
  std::unique_ptr<PendingRequest> owned(new PendingRequest);
  owned->startTick = 0xFFFFFF00u;  // registered just before the wrap
  owned->timeoutMs = 3000;
  owned->requestType = 1;
  owned->context = new int(5);
  owned->ownsContext = 1;
  owned->freeContext = &CountFree;
  RegisterRequest(std::move(owned));
  g_freed = 0;

  // The one registered before the wrap is 4255 ms old at tick 3999; the
  // first one is 2999 ms old and stays.
  EXPECT_EQ(AgeRequests(3999), 1u);
  EXPECT_EQ(g_freed, 1);  // its owned context went with it
  // Exactly as old as its time-out: freed.
  EXPECT_EQ(AgeRequests(4000), 1u);
  EXPECT_EQ(AgeRequests(50999), 0u);
  EXPECT_EQ(AgeRequests(51000), 1u);
  EXPECT_EQ(AgeRequests(0x7FFFFFFFu), 0u);
  EXPECT_EQ(PendingRequestCount(), 1u);
  uint16_t left = 0;
  ForEachPendingRequest([&](const PendingRequest& r) { left = r.requestType; });
  EXPECT_EQ(left, kMsgMonitorPoll);
}

}  // namespace
}  // namespace torvane
