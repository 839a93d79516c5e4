// The request tracker: requests sent to switches whose replies are still
// awaited, paired with their replies by sequence number, reply type and MAC.
//
// A sender fills a PendingRequest, registers it and only then sends its
// datagram, so that a fast reply always finds it. Pending requests leave the
// tracker when a matching rule takes them, when the aging sweep finds them
// expired, or at engine stop.
//
// Locking: one mutex guards the list. MatchDiscoveryReply calls the
// request's callback while holding it (the discovery callback takes the
// agent table mutex inside it); TakeSetRequest returns the request so that
// its callback runs after the mutex is released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <set>

#include "engine/receive.h"

namespace torvane {

struct PendingRequest {
  uint32_t startTick = 0;     // GetTickMs() at registration
  uint32_t timeoutMs = 0;     // discovery 3000, device set 50000
  uint16_t requestType = 0;   // message type of the request
  uint16_t replyType = 0;     // reply type that completes it
  uint16_t altReplyType = 0;  // second accepted type (discovery: 12; set: 8), else 0
  uint16_t sequence = 0;      // sequence number in the request's header
  uint8_t targetMac[6] = {};  // addressed switch; zero for discovery
  // Switches that answered (discovery); at most AgentTableLimit() of them.
  std::set<std::array<uint8_t, 6>> answeredMacs;
  DatagramCallback callback = nullptr;  // called once per accepted reply
  void* context = nullptr;    // handed to callback
  int ownsContext = 0;        // 1: freeContext(context) when the request is freed
  void (*freeContext)(void*) = nullptr;
  int suppressCallback = 0;   // 1: a matching reply is consumed silently

  PendingRequest() = default;
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;
  // Frees the context when the request owns it.
  ~PendingRequest();
};

// Appends req at the tail (registration order = age order). Null is ignored.
void RegisterRequest(std::unique_ptr<PendingRequest> req);

// What a matching rule did with a reply.
enum class MatchResult {
  kNoRequest,    // no pending request has this sequence number and type
  kLate,         // it came timeoutMs or later after the request: the
                 // request was unlinked and freed, the reply dropped
  kDuplicate,    // discovery: this switch already answered
  kMacMismatch,  // set: the oldest candidate addresses another switch
  kAccepted,     // matched
};

// Discovery rule, for replies of type 2 and 12 whose cookie the caller has
// checked. Under the tracker mutex: the oldest request whose sequence equals
// the reply's and whose replyType or altReplyType equals its type; a late
// reply frees it; a MAC already in answeredMacs is a duplicate; otherwise
// the MAC is remembered and, unless suppressCallback, the callback runs with
// the datagram, still under the mutex. The request stays registered. Once
// answeredMacs holds as many MACs as the agent table can hold records, new
// MACs are not remembered (the agent table is full by then and drops their
// records).
MatchResult MatchDiscoveryReply(const ReceivedPacket& reply);

// Set rule, for replies of type 4, 8 and 15 whose cookie the caller has
// checked. Under the tracker mutex: the oldest request whose sequence equals
// the reply's and whose replyType or (non-zero) altReplyType equals its
// type; a late reply frees
// it; when its targetMac equals the reply's MAC it is unlinked and returned
// in *taken (the caller runs the callback unless suppressCallback, then
// frees it); a different MAC leaves it in place and ends the search.
MatchResult TakeSetRequest(const ReceivedPacket& reply, std::unique_ptr<PendingRequest>* taken);

// One aging sweep: unlinks and frees every request whose requestType is not
// 5 and whose age at now (now - startTick, uint32_t) is at least its
// timeoutMs. Returns the number freed.
size_t AgeRequests(uint32_t now);

// Number of pending requests.
size_t PendingRequestCount();

// Calls fn for each pending request, oldest first, under the tracker mutex.
void ForEachPendingRequest(const std::function<void(const PendingRequest&)>& fn);

// Frees every pending request (engine stop).
void ClearRequestTracker();

// Module entry points of the "request aging" engine module: the aging
// thread sweeps at once and then every 30000 ms.
void StartRequestAging();
void StopRequestAging();

}  // namespace torvane
