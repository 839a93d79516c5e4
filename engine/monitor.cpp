#include "engine/monitor.h"

#include "platform/local_time.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "Loader/push_channel.h"
#include "engine/adapters.h"
#include "engine/dispatch.h"
#include "engine/drop_report.h"
#include "engine/engine.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/settings.h"
#include "platform/tick.h"

namespace torvane {
namespace {

// Polls missed in a row after which a switch counts as dead.
constexpr uint32_t kDeadAfterMissedPolls = 3;
// The poll thread's period; each entry is polled only when its own
// interval has run out, so this is the granularity of the polling.
constexpr auto kPollCheckPeriod = std::chrono::milliseconds(1000);

struct MonitorEntry {
  AgentRecord agent;          // agentIpAddr is the key
  uint32_t lastPollTick = 0;  // tick of the last poll sent; 0 before the first
  int32_t recvFlag = 0;       // 1: a fresh reply came since the last poll
  uint32_t missedPolls = 0;   // polls in a row that found no fresh reply
  int32_t isAlive = 1;
};

// Lock order: the poll pass holds g_monitorMu while it sends, so the send
// routine takes the adapter list mutex inside it. Nothing may take
// g_monitorMu while holding the adapter list mutex.
std::mutex g_monitorMu;
std::list<MonitorEntry> g_monitorList;  // guarded by g_monitorMu; in order of addition

// Held only to append one record or to take them all.
std::mutex g_trapMu;
std::deque<TrapRecord> g_trapList;  // guarded by g_trapMu; in arrival order, at most g_trapLimit

std::atomic<size_t> g_trapLimit{LimitFromEnvironment("TORVANE_TEST_TRAP_LIMIT", kTrapListLimit)};

DropReport& TrapDrops() {
  static DropReport* report = new DropReport("traps");
  return *report;
}

// Traps recorded since the process started; never reset. Only the reply
// dispatcher changes it in the engine, but tests call TrapCallback from
// their own thread.
std::atomic<uint32_t> g_trapCount{0};

std::atomic<bool> g_pollThreadStarted{false};

bool MacIsUnset(const uint8_t mac[6]) {
  static const uint8_t kZero[6] = {};
  return memcmp(mac, kZero, sizeof(kZero)) == 0;
}

// Copies the text at src (at most srcWidth bytes, up to its NUL) into dst
// of dstSize bytes, cut to dstSize - 1 bytes; the rest of dst is zero.
template <size_t N>
void CopyText(char (&dst)[N], const char* src, size_t srcWidth) {
  memset(dst, 0, N);
  size_t n = strnlen(src, srcWidth);
  if (n > N - 1) n = N - 1;
  memcpy(dst, src, n);
}


void FormatAddress(const uint8_t addr[4], char (&out)[20]) {
  snprintf(out, sizeof(out), "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
}

// Fills t from a type 9 trap: the switch address at bytes 40..43, then its
// text up to a NUL. Bytes beyond the datagram count as zero; a text that
// does not fit is cut to the width of the field.
void FillTrap9(const uint8_t* data, size_t length, TrapRecord* t) {
  uint8_t addr[4] = {};
  size_t body = length - kHeaderSize;  // length >= kHeaderSize here
  memcpy(addr, data + kHeaderSize, body < sizeof(addr) ? body : sizeof(addr));
  FormatAddress(addr, t->ip);
  if (length > kHeaderSize + sizeof(addr)) {
    const char* text = reinterpret_cast<const char*>(data + kHeaderSize + sizeof(addr));
    CopyText(t->string, text, length - kHeaderSize - sizeof(addr));
  }
}

// Fills t from a type 16 trap carrying agent TLVs: the location, the error
// text from its 129th byte (what TLV 31 carried) and the switch address.
void FillTrap16(const uint8_t* data, size_t length, TrapRecord* t) {
  AgentRecord a;
  memset(&a, 0, sizeof(a));
  ParseAgentTlvs(data, length, &a);
  CopyText(t->location, a.location, sizeof(a.location));
  constexpr size_t kTrapTextOffset = 128;
  static_assert(sizeof(a.errString) - kTrapTextOffset == sizeof(t->string),
                "the trap text is the second part of the error text");
  CopyText(t->string, a.errString + kTrapTextOffset, sizeof(a.errString) - kTrapTextOffset);
  FormatAddress(a.agentIpAddr, t->ip);
}

void MonitorPollThread() {
  // Built once: the cookie is fixed for the life of the engine.
  uint8_t poll[kHeaderSize];
  size_t len = BuildMonitorPoll(poll);
  for (;;) {
    MonitorPollPass(GetTickMs(), poll, len, &SendUnicast);
    std::this_thread::sleep_for(kPollCheckPeriod);
  }
}

void InstallTrapCallback() { InstallTrapHandler(&TrapCallback, nullptr); }

}  // namespace

int AddMonitorNode(const AgentRecord& rec) {
  // Allocated before the mutex is taken; looked up and linked in under it,
  // so that no other entry can take the address in between.
  std::list<MonitorEntry> node;
  try {
    node.emplace_back();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  node.front().agent = rec;
  std::lock_guard<std::mutex> lock(g_monitorMu);
  for (const MonitorEntry& e : g_monitorList) {
    if (memcmp(e.agent.agentIpAddr, rec.agentIpAddr, sizeof(rec.agentIpAddr)) == 0) return 0;
  }
  g_monitorList.splice(g_monitorList.end(), node);
  return 1;
}

int DelMonitorNode(const uint8_t ip[4]) {
  std::lock_guard<std::mutex> lock(g_monitorMu);
  for (auto it = g_monitorList.begin(); it != g_monitorList.end(); ++it) {
    if (memcmp(it->agent.agentIpAddr, ip, sizeof(it->agent.agentIpAddr)) == 0) {
      g_monitorList.erase(it);
      break;
    }
  }
  return 1;
}

int ClearMonitorList() {
  std::lock_guard<std::mutex> lock(g_monitorMu);
  g_monitorList.clear();
  return 1;
}

int GetMonitorNode(int position, MonitorNodeCopy* out) {
  if (position < 0 || out == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_monitorMu);
  int i = 0;
  for (const MonitorEntry& e : g_monitorList) {
    if (i++ == position) {
      out->agent = e.agent;
      out->isAlive = e.isAlive;
      out->recvFlag = e.recvFlag;
      return 1;
    }
  }
  return 0;
}

int MonitorProcess(const ReceivedPacket& packet) {
  size_t length = packet.length < kMaxDatagram ? packet.length : kMaxDatagram;
  // Without a whole header there is no cookie to check.
  if (length < kHeaderSize) return 0;
  if (GetBe32(packet.data + kOffCookie) != Settings().magicCookie.load()) return 0;
  uint32_t interval = Settings().monitorPollingIntervalMs.load();
  uint8_t source[4];
  memcpy(source, &packet.source.sin_addr.s_addr, sizeof(source));

  std::lock_guard<std::mutex> lock(g_monitorMu);
  for (MonitorEntry& e : g_monitorList) {
    // A reply counts only within one polling interval of the last poll
    // sent to that switch.
    bool fresh = static_cast<uint32_t>(packet.recvTick - e.lastPollTick) < interval;
    bool unset = MacIsUnset(e.agent.macAddr);
    if (!unset && memcmp(e.agent.macAddr, packet.mac, sizeof(packet.mac)) == 0) {
      if (!fresh) break;
      // The reply replaces what was known; the key becomes the address
      // the reply came from (or the one its TLV 4 carries).
      memset(&e.agent, 0, sizeof(e.agent));
      memcpy(e.agent.agentIpAddr, source, sizeof(source));
      e.recvFlag = 1;
      e.isAlive = 1;
      e.missedPolls = 0;
      ParseAgentTlvs(packet.data, length, &e.agent);
      break;
    }
    if (unset && memcmp(e.agent.agentIpAddr, source, sizeof(source)) == 0) {
      if (!fresh) break;
      // An entry added by address only learns the MAC of the first fresh
      // reply from that address; later replies match it by MAC.
      memcpy(e.agent.macAddr, packet.mac, sizeof(packet.mac));
      e.recvFlag = 1;
      e.missedPolls = 0;
      e.isAlive = 1;
      ParseAgentTlvs(packet.data, length, &e.agent);
      break;
    }
  }
  return 1;
}

size_t BuildMonitorPoll(uint8_t* buf) {
  // BuildHeader leaves MAC and sequence number zero.
  return BuildHeader(buf, kMsgMonitorPoll);
}

int MonitorPollPass(uint32_t now, const uint8_t* poll, size_t len, MonitorPollSender send) {
  uint32_t interval = Settings().monitorPollingIntervalMs.load();
  int polled = 0;
  std::lock_guard<std::mutex> lock(g_monitorMu);
  for (MonitorEntry& e : g_monitorList) {
    if (static_cast<uint32_t>(now - e.lastPollTick) < interval) continue;
    if (e.recvFlag == 1) {
      e.recvFlag = 0;
      e.missedPolls = 0;
      e.isAlive = 1;
    } else {
      if (e.missedPolls < UINT32_MAX) ++e.missedPolls;
      if (e.missedPolls >= kDeadAfterMissedPolls) e.isAlive = 0;
    }
    uint32_t dest;
    memcpy(&dest, e.agent.agentIpAddr, sizeof(dest));
    if (send != nullptr) send(poll, len, dest);
    // The tick of the pass is taken before any send, so a reply can never
    // carry a receive time earlier than the poll it answers.
    e.lastPollTick = now;
    ++polled;
  }
  return polled;
}

int TrapCallback(const uint8_t* data, size_t length, void* /*context*/) {
  if (data == nullptr || length < kHeaderSize) return 1;
  if (length > kMaxDatagram) length = kMaxDatagram;
  TrapRecord t;
  memset(&t, 0, sizeof(t));
  switch (GetBe16(data + kOffType)) {
    case kMsgTrap:
      FillTrap9(data, length, &t);
      break;
    case kMsgAgentTrap:
      FillTrap16(data, length, &t);
      break;
    default:
      return 1;
  }
  std::string now = LocalTimeText();
  CopyText(t.time, now.c_str(), now.size() + 1);
  uint32_t dropped = 0;
  try {
    std::lock_guard<std::mutex> lock(g_trapMu);
    // Full: the oldest record makes room, so that the client finds the
    // newest traps when it comes back.
    size_t limit = g_trapLimit.load();
    while (!g_trapList.empty() && g_trapList.size() >= limit) {
      g_trapList.pop_front();
      ++dropped;
    }
    g_trapList.push_back(t);
  } catch (const std::bad_alloc&) {
    return 1;  // the trap is lost; nothing to tell the client
  }
  if (dropped != 0) TrapDrops().Note(GetTickMs(), dropped);
  uint32_t count = g_trapCount.fetch_add(1) + 1;
  printf("receive trap number : %d \n", static_cast<int>(count));
  SendPushMessage("trap");
  return 1;
}

size_t TrapListLimit() { return g_trapLimit.load(); }

void SetTrapListLimit(size_t limit) { g_trapLimit = limit > 0 ? limit : 1; }

uint64_t DroppedTrapCount() { return TrapDrops().Total(); }

int TakeTrapRecords(std::vector<TrapRecord>* out) {
  std::lock_guard<std::mutex> lock(g_trapMu);
  if (out != nullptr) {
    try {
      out->insert(out->end(), g_trapList.begin(), g_trapList.end());
    } catch (const std::bad_alloc&) {
      return 1;  // the records stay for the next take
    }
  }
  // A list that held a flood gives its memory back.
  std::deque<TrapRecord>().swap(g_trapList);
  return 1;
}

void StartMonitorPoll() {
  SetPacketHandler(HandlerRole::kMonitorUpdate, &MonitorProcess);
  if (g_pollThreadStarted.exchange(true)) return;
  try {
    std::thread(MonitorPollThread).detach();
  } catch (const std::system_error&) {
    g_pollThreadStarted = false;  // skipped silently, as any engine thread
  }
}

void StopMonitorPoll() { ClearMonitorList(); }

TORVANE_ENGINE_MODULE("monitor poll", EnginePhase::kStart, 60, &StartMonitorPoll,
                      &StopMonitorPoll);
// Traps are only logged until this runs; trap records survive engine stop.
TORVANE_ENGINE_MODULE("trap handler", EnginePhase::kComplete, 10, &InstallTrapCallback, nullptr);

}  // namespace torvane
