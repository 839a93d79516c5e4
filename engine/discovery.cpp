#include "engine/discovery.h"

#include <string.h>

#include <memory>
#include <new>

#include "engine/adapters.h"
#include "engine/agent_table.h"
#include "engine/dispatch.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/request_tracker.h"
#include "engine/settings.h"
#include "platform/tick.h"

namespace torvane {

int StartDiscovery() {
  // Nothing could answer a request that cannot be sent; registering it
  // anyway would only leave it for the aging sweep, which does not run
  // before the engine has started.
  if (LocalAddressCount() == 0) return 0;

  uint16_t sequence = TakeSequenceNumber();
  uint8_t datagram[kMaxDatagram];
  memset(datagram, 0, sizeof(datagram));
  size_t length = BuildHeader(datagram, kMsgDiscoveryRequest);
  PutBe16(datagram + kOffSequence, sequence);

  std::unique_ptr<PendingRequest> req = MakeDiscoveryRequest(sequence, GetTickMs());
  if (!req) return 0;
  // Registered before the datagram leaves, so that the fastest reply
  // already finds it.
  RegisterRequest(std::move(req));

  return SendBroadcastAndMulticast(datagram, length);
}

std::unique_ptr<PendingRequest> MakeDiscoveryRequest(uint16_t sequence, uint32_t now) {
  std::unique_ptr<PendingRequest> req(new (std::nothrow) PendingRequest);
  if (!req) return nullptr;
  req->startTick = now;
  req->timeoutMs = kDiscoveryTimeoutMs;
  req->requestType = kMsgDiscoveryRequest;
  req->replyType = kMsgDiscoveryReply;
  req->altReplyType = kMsgLoaderDiscoveryReply;
  req->sequence = sequence;
  req->callback = &DiscoveryReplyCallback;
  req->context = nullptr;
  req->ownsContext = 0;
  req->suppressCallback = 0;
  return req;
}

int DiscoveryReplyCallback(const uint8_t* data, size_t length, void*) {
  AgentRecord rec;
  memset(&rec, 0, sizeof(rec));
  ParseAgentTlvs(data, length, &rec);
  AppendAgentRecord(rec);
  return 1;
}

int MatchDiscovery(const ReceivedPacket& packet) {
  if (packet.length < kHeaderSize || packet.length > kMaxDatagram) return 0;
  if (GetBe32(packet.data + kOffCookie) != Settings().magicCookie.load()) return 0;
  return MatchDiscoveryReply(packet) == MatchResult::kAccepted ? 1 : 0;
}

namespace {

// The reply dispatcher routes types 2 and 12 here from its first record on.
[[maybe_unused]] const PacketHandler kPreviousDiscoveryHandler =
    SetPacketHandler(HandlerRole::kDiscoveryMatch, &MatchDiscovery);

}  // namespace

}  // namespace torvane
