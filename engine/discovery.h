// Discovery: one request by broadcast and by multicast on every local
// address, and the matching that turns the first reply of each switch
// within the request's life into one agent record.
//
// A discovery cycle is one pending request in the request tracker. Replies
// are paired with it by sequence number and reply type (2, or 12 from a
// switch in loader mode); its answered-MAC list keeps each switch to one
// record per cycle.
//
// Locking: the matching and the reply callback run on the reply dispatcher
// thread under the request tracker mutex; the callback takes the agent
// table mutex inside it. StartDiscovery runs on the SOAP thread and takes
// the tracker mutex (registration) and then the adapter list mutex (sends),
// never both at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace torvane {

struct PendingRequest;
struct ReceivedPacket;

// Life of a discovery request: replies that come this late are dropped.
constexpr uint32_t kDiscoveryTimeoutMs = 3000;

// Sends one discovery request (message type 1, a fresh sequence number, no
// body) by broadcast and by multicast through every local address, after
// registering its pending request. Returns 1 when it went out through at
// least one local address; 0 when there is no local address or no memory
// (then nothing is sent and nothing is registered).
int StartDiscovery();

// The pending request of a discovery cycle whose request carries sequence
// and was made at tick now: reply types 2 and 12, 3000 ms, no target MAC,
// DiscoveryReplyCallback without context. Null when memory is short.
std::unique_ptr<PendingRequest> MakeDiscoveryRequest(uint16_t sequence, uint32_t now);

// The pending request's callback: parses the reply's header and TLVs into
// a zeroed agent record and appends it to the agent table. Returns 1.
int DiscoveryReplyCallback(const uint8_t* data, size_t length, void* context);

// The discovery matching for a reply of type 2 or 12 (the reply
// dispatcher's kDiscoveryMatch handler). A reply with another magic
// cookie, or one that is too short to hold the header, is ignored; every
// other reply goes through the request tracker's discovery rule. Returns 1
// when the reply was accepted (its record appended), else 0.
int MatchDiscovery(const ReceivedPacket& packet);

}  // namespace torvane
