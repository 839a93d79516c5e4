#include "engine/device_set.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "Loader/push_channel.h"
#include "engine/adapters.h"
#include "engine/agent_table.h"
#include "engine/dispatch.h"
#include "engine/engine.h"
#include "engine/receive.h"
#include "engine/request_tracker.h"
#include "engine/settings.h"
#include "platform/tick.h"

namespace torvane {
namespace {

constexpr uint16_t kLoaderInterfaceVer = 4;
constexpr uint16_t kDhcpModeDhcp = 1;

const char kDeviceSetPush[] = "device_set";

// Guards g_setVec. Held by AddOperateNode, DevSetCallback, GetOperateResult
// and the time-out check; DevSetCallback takes the agent table mutex inside
// it.
std::mutex g_setMu;
std::vector<OperateNode> g_setVec;  // guarded by g_setMu, in order of addition

std::atomic<PushSender> g_pushSender{&SendPushMessage};
std::atomic<bool> g_timeoutThreadStarted{false};

int Push(const char* text) {
  PushSender fn = g_pushSender.load();
  return fn(text);
}

// Builds, registers and sends one set request. The pending request is in the
// tracker before the first byte leaves, so that a fast reply finds it. Sets
// *registered when the request was registered (and so sending was tried).
int SendSetRequest(const AgentRecord& rec, int32_t kind, bool* registered) {
  *registered = false;
  SetRequest req;
  if (!BuildSetRequest(rec, kind, &req)) return 0;

  std::unique_ptr<PendingRequest> pending(new (std::nothrow) PendingRequest);
  if (!pending) return 0;
  pending->startTick = GetTickMs();
  pending->timeoutMs = kDeviceSetTimeoutMs;
  pending->requestType = req.requestType;
  pending->replyType = req.replyType;
  pending->altReplyType = req.altReplyType;
  pending->sequence = req.sequence;
  memcpy(pending->targetMac, rec.macAddr, sizeof(pending->targetMac));
  pending->callback = &DevSetCallback;
  pending->context = nullptr;
  pending->ownsContext = 0;
  pending->suppressCallback = 0;
  try {
    RegisterRequest(std::move(pending));
  } catch (const std::bad_alloc&) {
    return 0;  // not registered: a reply could not be matched, so send nothing
  }
  *registered = true;

  int broadcast = SendBroadcast(req.data, req.length);
  int multicast = SendMulticast(req.data, req.length);
  return (broadcast | multicast) != 0 ? 1 : 0;
}

// Times out the pending nodes older than their timeoutMs at now. Caller
// holds g_setMu. Returns the number timed out.
int TimeOutNodesLocked(uint32_t now) {
  int timedOut = 0;
  for (OperateNode& node : g_setVec) {
    if (node.result != kOperatePending) continue;
    if (static_cast<uint32_t>(now - node.startTick) > node.timeoutMs) {
      printf("device set timeout !\n");
      node.result = kOperateTimedOut;
      ++timedOut;
    }
  }
  return timedOut;
}

void OperateTimeoutThread() {
  for (;;) {
    CheckOperateTimeout();
    std::this_thread::sleep_for(std::chrono::milliseconds(kOperateCheckIntervalMs));
  }
}

}  // namespace

uint16_t SetRequestType(const AgentRecord& rec) {
  if (rec.isLoaderMode == 1 &&
      (rec.agentInterfaceVer == kLoaderInterfaceVer || (rec.funBitmap[0] & kFunBitLoaderSet)))
    return kMsgLoaderSetRequest;
  return kMsgSetRequest;
}

bool BuildSetRequest(const AgentRecord& rec, int32_t kind, SetRequest* out) {
  if (out == nullptr) return false;
  if (kind != kSetConfig && kind != kSetPassword && kind != kSetZeroAddrConfig) return false;

  memset(out->data, 0, sizeof(out->data));
  out->requestType = SetRequestType(rec);
  out->replyType =
      out->requestType == kMsgLoaderSetRequest ? kMsgLoaderSetReply : kMsgSetReply;
  // Switches answer a type-3 request with either form of the set reply.
  out->altReplyType = out->requestType == kMsgLoaderSetRequest ? 0 : kMsgSetReply2;
  out->sequence = TakeSequenceNumber();
  BuildHeader(out->data, out->requestType);
  memcpy(out->data + kOffMac, rec.macAddr, sizeof(rec.macAddr));
  PutBe16(out->data + kOffSequence, out->sequence);

  size_t body = 0;
  switch (kind) {
    case kSetConfig:
      body = BuildSetBody(out->data, rec, rec.dhcpMode == kDhcpModeDhcp);
      break;
    case kSetPassword:
      body = BuildPasswordTlvs(out->data, rec.oldPassword, rec.newPasseord);
      break;
    case kSetZeroAddrConfig:
      body = BuildSetBody(out->data, rec, true);
      break;
  }
  out->length = kHeaderSize + body;
  return true;
}

int SetCfgToAgent(const AgentRecord& rec) {
  bool registered;
  int sent = SendSetRequest(rec, kSetConfig, &registered);
  // Without memory for the pending request nothing is sent or printed.
  if (registered) printf("SetCfgToAgent return = %d\n", sent);
  return sent;
}

int SetPasswordToAgent(const AgentRecord& rec) {
  bool registered;
  return SendSetRequest(rec, kSetPassword, &registered);
}

int SetZeroAddrCfgToAgent(const AgentRecord& rec) {
  bool registered;
  return SendSetRequest(rec, kSetZeroAddrConfig, &registered);
}

int SendDeviceSet(const AgentRecord& rec, int32_t kind) {
  int sent = 0;
  const AgentRecord copy = rec;
  // The node exists before the request leaves: a switch that answers at
  // once must find it, or its outcome would be lost.
  AddOperateNode(rec, kind);
  switch (kind) {
    case kSetConfig:
      sent = SetCfgToAgent(copy);
      break;
    case kSetPassword:
      sent = SetPasswordToAgent(copy);
      break;
    case kSetZeroAddrConfig:
      sent = SetZeroAddrCfgToAgent(copy);
      break;
    default:
      break;  // an unknown kind sends nothing; its node times out
  }
  return sent != 0 ? 1 : 0;
}

int AddOperateNode(const AgentRecord& rec, int32_t kind) {
  printf("AddOperateNode begine \n");
  OperateNode node;
  node.agent = rec;
  node.kind = kind;
  node.result = kOperatePending;
  node.timeoutMs = kDeviceSetTimeoutMs;
  std::lock_guard<std::mutex> lock(g_setMu);
  // Stamped under the mutex: a time-out check that read the tick before
  // this node existed must not see a start tick later than its own.
  node.startTick = GetTickMs();
  try {
    g_setVec.push_back(node);
  } catch (const std::bad_alloc&) {
    return 0;  // no node: the change is not reported to the client
  }
  printf("in AddOperateNode, g_setVec.size = %d\n", static_cast<int>(g_setVec.size()));
  return 1;
}

int SetProcess(const ReceivedPacket& packet) {
  printf("SetProcess begine !\n");
  if (packet.length < kHeaderSize || packet.length > sizeof(packet.data)) return 0;
  if (GetBe32(packet.data + kOffCookie) != Settings().magicCookie.load()) return 0;

  std::unique_ptr<PendingRequest> found;
  if (TakeSetRequest(packet, &found) != MatchResult::kAccepted || !found) return 1;

  // The tracker mutex is released: the callback takes the operation list
  // mutex and, inside it, the agent table mutex.
  printf("NULL != found_action\n");
  if (!found->suppressCallback && found->callback != nullptr)
    found->callback(packet.data, packet.length, found->context);
  return 1;
}

int DevSetCallback(const uint8_t* data, size_t length, void* /*context*/) {
  printf("DevSetCallback begine !\n");
  // Only a whole header carries the status; a matched reply always has one.
  if (data == nullptr || length < kHeaderSize) return 1;

  AgentRecord reply;
  memset(&reply, 0, sizeof(reply));
  ParseAgentTlvs(data, length, &reply);
  const int32_t status = GetBe16(data + kOffStatus);

  std::lock_guard<std::mutex> lock(g_setMu);
  printf("in DevSetCallback, g_setVec.size = %d\n", static_cast<int>(g_setVec.size()));
  for (OperateNode& node : g_setVec) {
    if (node.result != kOperatePending) continue;
    if (memcmp(node.agent.macAddr, reply.macAddr, sizeof(reply.macAddr)) != 0) continue;
    node.result = status;
    node.agent = reply;
    ReplaceAgentRecord(reply);  // lock order: operation list, then agent table
    Push(kDeviceSetPush);
  }
  return 1;
}

int GetOperateResult(std::vector<OperateNode>* out) {
  std::lock_guard<std::mutex> lock(g_setMu);
  for (size_t i = 0; i < g_setVec.size();) {
    if (g_setVec[i].result == kOperatePending) {
      ++i;
      continue;
    }
    if (out != nullptr) {
      try {
        out->push_back(g_setVec[i]);
      } catch (const std::bad_alloc&) {
        break;  // this node and those behind it stay for the next call
      }
    }
    g_setVec.erase(g_setVec.begin() + static_cast<std::ptrdiff_t>(i));
    printf("in GetOperateResult, g_setVec.size = %d\n", static_cast<int>(g_setVec.size()));
  }
  return 1;
}

int CheckOperateTimeout() {
  int timedOut;
  {
    std::lock_guard<std::mutex> lock(g_setMu);
    // Read under the mutex, so that no node's start tick is later than now.
    timedOut = TimeOutNodesLocked(GetTickMs());
  }
  if (timedOut > 0) Push(kDeviceSetPush);
  return timedOut;
}

int CheckOperateTimeoutAt(uint32_t now) {
  int timedOut;
  {
    std::lock_guard<std::mutex> lock(g_setMu);
    timedOut = TimeOutNodesLocked(now);
  }
  if (timedOut > 0) Push(kDeviceSetPush);
  return timedOut;
}

void StartOperateTimeout() {
  if (g_timeoutThreadStarted.exchange(true)) return;
  try {
    std::thread(OperateTimeoutThread).detach();
  } catch (const std::system_error&) {
    g_timeoutThreadStarted = false;
  }
}

void InstallSetProcess() { SetPacketHandler(HandlerRole::kSetMatch, &SetProcess); }

std::vector<OperateNode> CopyOperateList() {
  std::lock_guard<std::mutex> lock(g_setMu);
  return g_setVec;
}

void ClearOperateList() {
  std::lock_guard<std::mutex> lock(g_setMu);
  g_setVec.clear();
}

PushSender SetOperatePushSender(PushSender fn) {
  return g_pushSender.exchange(fn != nullptr ? fn : &SendPushMessage);
}

// Installed with the engine start, before any reply can be dispatched.
TORVANE_ENGINE_MODULE("set match", EnginePhase::kStart, 10, &InstallSetProcess, nullptr);
// Set requests go out whenever the engine threads run, also after an
// engine start that found the settings file invalid or the discovery port
// taken; the time-out check runs whenever they do, so that every change
// completes or times out. The operation list outlives the engine stop; the
// thread ends with the process.
TORVANE_ENGINE_MODULE("device-set timeout", EnginePhase::kStart, 80, &StartOperateTimeout,
                      nullptr);

}  // namespace torvane
