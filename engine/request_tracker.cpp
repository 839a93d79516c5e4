#include "engine/request_tracker.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "engine/agent_table.h"
#include "engine/engine.h"
#include "platform/tick.h"

namespace torvane {
namespace {

constexpr uint32_t kAgingIntervalMs = 30000;

std::mutex g_trackerMu;
std::list<std::unique_ptr<PendingRequest>> g_pending;  // guarded by g_trackerMu, oldest first

std::atomic<bool> g_agingStarted{false};

bool Expired(uint32_t now, const PendingRequest& req) {
  return static_cast<uint32_t>(now - req.startTick) >= req.timeoutMs;
}

void AgingThread() {
  for (;;) {
    AgeRequests(GetTickMs());
    std::this_thread::sleep_for(std::chrono::milliseconds(kAgingIntervalMs));
  }
}

}  // namespace

PendingRequest::~PendingRequest() {
  if (ownsContext && freeContext != nullptr && context != nullptr) freeContext(context);
}

void RegisterRequest(std::unique_ptr<PendingRequest> req) {
  if (!req) return;
  std::lock_guard<std::mutex> lock(g_trackerMu);
  g_pending.push_back(std::move(req));
}

MatchResult MatchDiscoveryReply(const ReceivedPacket& reply) {
  std::lock_guard<std::mutex> lock(g_trackerMu);
  auto it = g_pending.begin();
  for (; it != g_pending.end(); ++it) {
    const PendingRequest& req = **it;
    if (req.sequence == reply.sequence &&
        (req.replyType == reply.msgType || req.altReplyType == reply.msgType))
      break;
  }
  if (it == g_pending.end()) return MatchResult::kNoRequest;
  PendingRequest& req = **it;
  if (Expired(reply.recvTick, req)) {
    g_pending.erase(it);
    return MatchResult::kLate;
  }
  std::array<uint8_t, 6> mac;
  memcpy(mac.data(), reply.mac, 6);
  if (req.answeredMacs.count(mac) != 0) return MatchResult::kDuplicate;
  // Forged replies with ever new MACs must not grow the list without end.
  if (req.answeredMacs.size() < AgentTableLimit()) {
    try {
      req.answeredMacs.insert(mac);
    } catch (const std::bad_alloc&) {
      // Not remembered: a second reply of this switch is taken again.
    }
  }
  if (!req.suppressCallback && req.callback != nullptr)
    req.callback(reply.data, reply.length, req.context);
  return MatchResult::kAccepted;
}

MatchResult TakeSetRequest(const ReceivedPacket& reply, std::unique_ptr<PendingRequest>* taken) {
  taken->reset();
  std::lock_guard<std::mutex> lock(g_trackerMu);
  auto it = g_pending.begin();
  for (; it != g_pending.end(); ++it)
    if ((*it)->sequence == reply.sequence &&
        ((*it)->replyType == reply.msgType ||
         ((*it)->altReplyType != 0 && (*it)->altReplyType == reply.msgType)))
      break;
  if (it == g_pending.end()) return MatchResult::kNoRequest;
  if (Expired(reply.recvTick, **it)) {
    g_pending.erase(it);
    return MatchResult::kLate;
  }
  if (memcmp((*it)->targetMac, reply.mac, 6) != 0) return MatchResult::kMacMismatch;
  *taken = std::move(*it);
  g_pending.erase(it);
  return MatchResult::kAccepted;
}

size_t AgeRequests(uint32_t now) {
  std::list<std::unique_ptr<PendingRequest>> doomed;
  {
    std::lock_guard<std::mutex> lock(g_trackerMu);
    for (auto it = g_pending.begin(); it != g_pending.end();) {
      auto next = std::next(it);
      if ((*it)->requestType != kMsgMonitorPoll && Expired(now, **it))
        doomed.splice(doomed.end(), g_pending, it);
      it = next;
    }
  }
  return doomed.size();  // freed here, outside the mutex
}

size_t PendingRequestCount() {
  std::lock_guard<std::mutex> lock(g_trackerMu);
  return g_pending.size();
}

void ForEachPendingRequest(const std::function<void(const PendingRequest&)>& fn) {
  std::lock_guard<std::mutex> lock(g_trackerMu);
  for (const auto& req : g_pending) fn(*req);
}

void ClearRequestTracker() {
  std::list<std::unique_ptr<PendingRequest>> doomed;
  std::lock_guard<std::mutex> lock(g_trackerMu);
  doomed.swap(g_pending);
}

void StartRequestAging() {
  if (g_agingStarted.exchange(true)) return;
  try {
    std::thread(AgingThread).detach();
  } catch (const std::system_error&) {
    g_agingStarted = false;
  }
}

void StopRequestAging() { ClearRequestTracker(); }

TORVANE_ENGINE_MODULE("request aging", EnginePhase::kStart, 70, &StartRequestAging,
                      &StopRequestAging);

}  // namespace torvane
