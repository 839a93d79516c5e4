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
#include <unordered_map>
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
  uint64_t order = 0;         // place in the list: larger is newer
  uint32_t lastPollTick = 0;  // tick of the last poll sent; 0 before the first
  int32_t recvFlag = 0;       // 1: a fresh reply came since the last poll
  uint32_t missedPolls = 0;   // polls in a row that found no fresh reply
  int32_t isAlive = 1;
};

// Lock order: the poll pass holds g_monitorMu while it sends, so the send
// routine takes the adapter list mutex inside it. Nothing may take
// g_monitorMu while holding the adapter list mutex.
std::mutex g_monitorMu;
using MonitorIter = std::list<MonitorEntry>::iterator;
std::list<MonitorEntry> g_monitorList;  // guarded by g_monitorMu; in order of addition
// The entries by agentIpAddr, guarded by g_monitorMu. A reply can move an
// entry to an address another entry already has, so one address may map
// to several entries.
std::unordered_multimap<uint32_t, MonitorIter> g_monitorByAddr;
// The entries whose MAC is set, by MAC, guarded by g_monitorMu: a reply
// finds its entry without walking the list.
std::unordered_multimap<uint64_t, MonitorIter> g_monitorByMac;
uint64_t g_monitorNextOrder = 0;  // guarded by g_monitorMu
// Where the last GetMonitorNode stopped, so that reading the list by
// position 0, 1, 2, ... takes one step per call. Guarded by g_monitorMu;
// valid while g_monitorShape is unchanged.
uint64_t g_monitorShape = 0;  // counts additions and removals
struct MonitorCursor {
  uint64_t shape = ~0ull;
  int position = 0;
  MonitorIter at;
} g_monitorCursor;

uint32_t AddrKey(const uint8_t addr[4]) {
  uint32_t key;
  memcpy(&key, addr, sizeof(key));
  return key;
}

uint64_t MacKey(const uint8_t mac[6]) {
  uint64_t key = 0;
  for (int i = 0; i < 6; ++i) key = (key << 8) | mac[i];
  return key;
}

bool MacIsUnset(const uint8_t mac[6]);

// Requires g_monitorMu. Adds e to the MAC index when its MAC is set.
// False when memory is short.
bool IndexMac(MonitorIter e) {
  if (MacIsUnset(e->agent.macAddr)) return true;
  try {
    g_monitorByMac.emplace(MacKey(e->agent.macAddr), e);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Requires g_monitorMu.
void UnindexMac(MonitorIter e) {
  auto range = g_monitorByMac.equal_range(MacKey(e->agent.macAddr));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == e) {
      g_monitorByMac.erase(it);
      return;
    }
  }
}

// Requires g_monitorMu. The first entry in list order with that address.
MonitorIter FindFirstByAddr(uint32_t key) {
  auto range = g_monitorByAddr.equal_range(key);
  MonitorIter best = g_monitorList.end();
  for (auto it = range.first; it != range.second; ++it) {
    if (best == g_monitorList.end() || it->second->order < best->order) best = it->second;
  }
  return best;
}

// Requires g_monitorMu. Takes e out of the address index; the node can
// go back in under another key without allocating.
std::unordered_multimap<uint32_t, MonitorIter>::node_type UnindexEntry(MonitorIter e) {
  auto range = g_monitorByAddr.equal_range(AddrKey(e->agent.agentIpAddr));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == e) return g_monitorByAddr.extract(it);
  }
  return {};
}

// Requires g_monitorMu. Puts e's index node back under its current address.
void ReindexEntry(MonitorIter e, std::unordered_multimap<uint32_t, MonitorIter>::node_type node) {
  if (node.empty()) return;
  node.key() = AddrKey(e->agent.agentIpAddr);
  g_monitorByAddr.insert(std::move(node));
}

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
  uint32_t key = AddrKey(rec.agentIpAddr);
  std::lock_guard<std::mutex> lock(g_monitorMu);
  if (g_monitorByAddr.count(key) != 0) return 0;
  MonitorIter e = node.begin();
  e->order = g_monitorNextOrder++;
  try {
    g_monitorByAddr.emplace(key, e);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!IndexMac(e)) {
    UnindexEntry(e);
    return 0;
  }
  g_monitorList.splice(g_monitorList.end(), node);
  ++g_monitorShape;
  return 1;
}

int DelMonitorNode(const uint8_t ip[4]) {
  std::lock_guard<std::mutex> lock(g_monitorMu);
  MonitorIter e = FindFirstByAddr(AddrKey(ip));
  if (e != g_monitorList.end()) {
    UnindexEntry(e);
    UnindexMac(e);
    g_monitorList.erase(e);
    ++g_monitorShape;
  }
  return 1;
}

int ClearMonitorList() {
  std::lock_guard<std::mutex> lock(g_monitorMu);
  g_monitorByAddr.clear();
  g_monitorByMac.clear();
  g_monitorList.clear();
  ++g_monitorShape;
  return 1;
}

size_t MonitorListSize() {
  std::lock_guard<std::mutex> lock(g_monitorMu);
  return g_monitorList.size();
}

int GetMonitorNode(int position, MonitorNodeCopy* out) {
  if (position < 0 || out == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_monitorMu);
  if (static_cast<size_t>(position) >= g_monitorList.size()) return 0;
  MonitorCursor& c = g_monitorCursor;
  if (c.shape != g_monitorShape || position < c.position) {
    c.shape = g_monitorShape;
    c.position = 0;
    c.at = g_monitorList.begin();
  }
  while (c.position < position) {
    ++c.at;
    ++c.position;
  }
  out->agent = c.at->agent;
  out->isAlive = c.at->isAlive;
  out->recvFlag = c.at->recvFlag;
  return 1;
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
  // The first entry in list order that either has the reply's MAC, or has
  // no MAC yet and the reply's source address.
  MonitorIter it = g_monitorList.end();
  auto earlier = [&](MonitorIter e) { return it == g_monitorList.end() || e->order < it->order; };
  if (!MacIsUnset(packet.mac)) {
    auto range = g_monitorByMac.equal_range(MacKey(packet.mac));
    for (auto m = range.first; m != range.second; ++m) {
      if (earlier(m->second)) it = m->second;
    }
  }
  auto range = g_monitorByAddr.equal_range(AddrKey(source));
  for (auto a = range.first; a != range.second; ++a) {
    if (MacIsUnset(a->second->agent.macAddr) && earlier(a->second)) it = a->second;
  }
  if (it == g_monitorList.end()) return 1;

  MonitorEntry& e = *it;
  // A reply counts only within one polling interval of the last poll
  // sent to that switch.
  bool fresh = static_cast<uint32_t>(packet.recvTick - e.lastPollTick) < interval;
  if (!fresh) return 1;
  auto indexed = UnindexEntry(it);
  if (!MacIsUnset(e.agent.macAddr)) {
    // The reply replaces what was known; the key becomes the address the
    // reply came from (or the one its TLV 4 carries). The MAC stays.
    memset(&e.agent, 0, sizeof(e.agent));
    memcpy(e.agent.agentIpAddr, source, sizeof(source));
    e.recvFlag = 1;
    e.isAlive = 1;
    e.missedPolls = 0;
    ParseAgentTlvs(packet.data, length, &e.agent);
  } else {
    // An entry added by address only learns the MAC of the first fresh
    // reply from that address; later replies match it by MAC.
    memcpy(e.agent.macAddr, packet.mac, sizeof(packet.mac));
    e.recvFlag = 1;
    e.missedPolls = 0;
    e.isAlive = 1;
    ParseAgentTlvs(packet.data, length, &e.agent);
    // Memory short: later replies do not find it, as if they were lost.
    IndexMac(it);
  }
  // The address index follows the entry's new address.
  ReindexEntry(it, std::move(indexed));
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
