#include "engine/dispatch.h"

#include <stdio.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "engine/protocol.h"
#include "engine/settings.h"

namespace torvane {
namespace {

constexpr size_t kRoleCount = 6;
std::atomic<PacketHandler> g_handlers[kRoleCount];

// The trap handler pair is read and written together.
std::mutex g_trapMu;
TrapHandler g_trapHandler;  // guarded by g_trapMu

std::atomic<bool> g_replyStarted{false};
std::atomic<bool> g_upgradeStarted{false};

void Call(HandlerRole role, const ReceivedPacket& packet) {
  PacketHandler fn = g_handlers[static_cast<size_t>(role)].load();
  if (fn != nullptr) fn(packet);
}

// Runs forever: waits for records, then drains the queue before waiting
// again, so that a record appended while a handler ran is never stranded.
void DispatcherThread(PacketQueue* queue, void (*route)(const ReceivedPacket&)) {
  for (;;) {
    queue->WaitNonEmpty();
    DrainQueue(*queue, route);
  }
}

bool StartThread(std::atomic<bool>* started, PacketQueue* queue,
                 void (*route)(const ReceivedPacket&)) {
  if (started->exchange(true)) return false;
  try {
    std::thread(DispatcherThread, queue, route).detach();
  } catch (const std::system_error&) {
    *started = false;
    return false;
  }
  return true;
}

}  // namespace

PacketHandler SetPacketHandler(HandlerRole role, PacketHandler fn) {
  return g_handlers[static_cast<size_t>(role)].exchange(fn);
}

TrapHandler InstallTrapHandler(DatagramCallback fn, void* context) {
  std::lock_guard<std::mutex> lock(g_trapMu);
  TrapHandler previous = g_trapHandler;
  g_trapHandler.fn = fn;
  g_trapHandler.context = context;
  return previous;
}

void DispatchReply(const ReceivedPacket& packet) {
  switch (packet.msgType) {
    case kMsgDiscoveryReply:
    case kMsgLoaderDiscoveryReply:
      Call(HandlerRole::kDiscoveryMatch, packet);
      Call(HandlerRole::kMonitorUpdate, packet);
      break;
    case kMsgSetReply:
    case kMsgSetReply2:
    case kMsgLoaderSetReply:
      Call(HandlerRole::kSetMatch, packet);
      Call(HandlerRole::kMonitorUpdate, packet);
      break;
    case kMsgMonitorReply:
      Call(HandlerRole::kMonitorUpdate, packet);
      break;
    case kMsgTrap:
    case kMsgAgentTrap: {
      // A non-zero message type guarantees the whole header is there.
      if (packet.length < kHeaderSize) break;
      if (GetBe32(packet.data + kOffCookie) != Settings().magicCookie.load()) break;
      printf("recv a trap packet. \n");
      TrapHandler handler;
      {
        std::lock_guard<std::mutex> lock(g_trapMu);
        handler = g_trapHandler;
      }
      if (handler.fn != nullptr) handler.fn(packet.data, packet.length, handler.context);
      break;
    }
    default:
      break;
  }
}

void DispatchUpgrade(const ReceivedPacket& packet) {
  if (packet.isTftp) {
    if (packet.length >= 4) Call(HandlerRole::kUpgradeTftp, packet);
    return;
  }
  if (packet.msgType == kMsgDiscoveryReply)
    Call(HandlerRole::kUpgradeDiscovery, packet);
  else if (packet.msgType == kMsgUpgradeReply)
    Call(HandlerRole::kUpgradeReply, packet);
}

size_t DrainQueue(PacketQueue& queue, void (*route)(const ReceivedPacket&)) {
  size_t n = 0;
  while (std::unique_ptr<ReceivedPacket> rec = queue.TakeOldest()) {
    route(*rec);
    ++n;
  }
  return n;
}

void StartReplyDispatcher() { StartThread(&g_replyStarted, &ReplyQueue(), &DispatchReply); }
void StopReplyDispatcher() { ReplyQueue().Clear(); }
void StartUpgradeDispatcher() {
  StartThread(&g_upgradeStarted, &UpgradeQueue(), &DispatchUpgrade);
}
void StopUpgradeDispatcher() { UpgradeQueue().Clear(); }

TORVANE_ENGINE_MODULE("reply dispatcher", EnginePhase::kStart, 30, &StartReplyDispatcher,
                      &StopReplyDispatcher);
TORVANE_ENGINE_MODULE("upgrade dispatcher", EnginePhase::kStart, 40, &StartUpgradeDispatcher,
                      &StopUpgradeDispatcher);

}  // namespace torvane
