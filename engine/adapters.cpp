#include "engine/adapters.h"

#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/settings.h"

namespace torvane {
namespace {

constexpr uint32_t kRescanIntervalMs = 10000;

// One IPv4 address of a live adapter with its four sockets, indexed by
// SocketKind; -1 where a socket could not be made.
struct AddressEntry {
  uint32_t address = 0;  // network order
  uint32_t mask = 0;     // network order
  int sockets[4] = {-1, -1, -1, -1};
  bool seen = false;
};

struct LiveAdapter {
  std::vector<AddressEntry> entries;
  uint8_t mac[8] = {};
  uint32_t macLength = 0;
  uint32_t index = 0;
  std::string name;
  bool seen = false;
};

// The adapter list. g_adapterMu also serialises every send, so a rescan
// never closes a socket that a send is using.
std::mutex g_adapterMu;
std::vector<LiveAdapter> g_adapters;  // guarded by g_adapterMu
bool g_watchStopped = false;          // guarded by g_adapterMu

// The socket list: every open engine socket that the receive thread reads.
std::mutex g_socketMu;
std::vector<WatchedSocket> g_sockets;  // guarded by g_socketMu

std::atomic<uint32_t> g_forcedMask{0};
std::atomic<bool> g_watchStarted{false};

// The hardware address alone does not identify an adapter here: VLAN and
// other stacked interfaces share their parent's MAC, and an interface that
// was deleted and re-created between two scans keeps its MAC but gets a new
// index, while the sockets stay tied to the old one. Matching on both keeps
// two such adapters apart and moves the sockets to a re-created interface.
bool SameAdapter(const LiveAdapter& live, const AdapterInfo& scanned) {
  return live.index == scanned.index && memcmp(live.mac, scanned.mac, 6) == 0;
}

void RegisterSocket(const WatchedSocket& s) {
  std::lock_guard<std::mutex> lock(g_socketMu);
  g_sockets.push_back(s);
}

// Takes the socket off the socket list, then closes it. Requires
// g_adapterMu; the receive thread only reads sockets that are listed, so it
// never touches the descriptor after this returns.
void UnregisterAndClose(int fd) {
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(g_socketMu);
    g_sockets.erase(std::remove_if(g_sockets.begin(), g_sockets.end(),
                                   [fd](const WatchedSocket& s) { return s.fd == fd; }),
                    g_sockets.end());
  }
  CloseUdpSocket(fd);
}

void CloseEntry(AddressEntry* entry) {
  for (int& fd : entry->sockets) {
    UnregisterAndClose(fd);
    fd = -1;
  }
}

// Opens one socket of entry; on success registers it with the socket list.
void OpenEntrySocket(const LiveAdapter& adapter, AddressEntry* entry, SocketKind kind,
                     uint16_t port) {
  UdpSocketParams params;
  params.kind = kind;
  params.ifindex = adapter.index;
  params.localAddr = entry->address;
  params.port = port;
  params.group = Settings().multicastGroup.load();
  UdpOpenResult r = OpenUdpSocket(params);
  if (r.fd < 0) {
    if (kind == kSocketBroadcast && r.failedStep == UdpOpenStep::kBind)
      printf("Test WSAGetLastError() = %d\n", r.error);
    return;
  }
  entry->sockets[kind] = r.fd;
  RegisterSocket(WatchedSocket{r.fd, kind, entry->address, adapter.index});
}

// Creates an address entry's sockets in the order unicast, TFTP, multicast,
// broadcast; a socket that fails is left out without affecting the others.
AddressEntry MakeEntry(const LiveAdapter& adapter, const AddressMask& am) {
  AddressEntry entry;
  entry.address = am.address;
  entry.mask = am.mask;
  const EngineSettings& s = Settings();
  OpenEntrySocket(adapter, &entry, kSocketUnicast, s.unicastPort.load());
  OpenEntrySocket(adapter, &entry, kSocketTftp, kTftpPort);
  OpenEntrySocket(adapter, &entry, kSocketMulticast, s.multicastPort.load());
  OpenEntrySocket(adapter, &entry, kSocketBroadcast, s.discoveryPort.load());
  return entry;
}

// Requires g_adapterMu.
void ReconcileAddresses(LiveAdapter* live, const AdapterInfo& scanned) {
  std::vector<bool> scanSeen(scanned.addresses.size(), false);
  for (size_t i = 0; i < scanned.addresses.size(); ++i) {
    for (AddressEntry& entry : live->entries) {
      if (entry.seen || entry.address != scanned.addresses[i].address) continue;
      entry.seen = true;
      scanSeen[i] = true;
      entry.mask = scanned.addresses[i].mask;
      break;
    }
  }
  for (AddressEntry& entry : live->entries)
    if (!entry.seen) CloseEntry(&entry);
  live->entries.erase(std::remove_if(live->entries.begin(), live->entries.end(),
                                     [](const AddressEntry& e) { return !e.seen; }),
                      live->entries.end());
  for (size_t i = 0; i < scanned.addresses.size(); ++i) {
    if (scanSeen[i]) continue;
    scanSeen[i] = true;
    live->entries.push_back(MakeEntry(*live, scanned.addresses[i]));
    live->entries.back().seen = true;
  }
  for (AddressEntry& entry : live->entries) entry.seen = false;
}

void WriteSenderMac(uint8_t* buf, size_t len, const LiveAdapter& adapter) {
  if (len >= kOffSenderMac + 6) memcpy(buf + kOffSenderMac, adapter.mac, 6);
}

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Sends through one socket kind of every entry to dest at the switch port.
// Takes g_adapterMu. Returns 1 when at least one entry exists.
int SendThroughAll(const uint8_t* data, size_t len, SocketKind kind, uint32_t dest,
                   bool reportErrors) {
  if (data == nullptr || len > kMaxDatagram) return 0;
  uint8_t buf[kMaxDatagram];
  memcpy(buf, data, len);
  uint16_t port = Settings().switchPort.load();
  int any = 0;
  std::lock_guard<std::mutex> lock(g_adapterMu);
  for (const LiveAdapter& adapter : g_adapters) {
    WriteSenderMac(buf, len, adapter);
    for (const AddressEntry& entry : adapter.entries) {
      any = 1;
      int err = SendDatagramFrom(entry.sockets[kind], entry.address, adapter.index, dest, port,
                                 buf, len);
      if (err != 0 && !WouldBlock(err) && reportErrors) printf("WSAGetLastError() = %d\n", err);
    }
  }
  return any;
}

struct EntryRef {
  LiveAdapter* adapter;
  AddressEntry* entry;
};

// Requires g_adapterMu.
void FlattenEntries(std::vector<EntryRef>* refs, std::vector<AddressMask>* ams) {
  for (LiveAdapter& adapter : g_adapters) {
    for (AddressEntry& entry : adapter.entries) {
      refs->push_back(EntryRef{&adapter, &entry});
      ams->push_back(AddressMask{entry.address, entry.mask});
    }
  }
}

void WatchThread() {
  bool first = true;
  for (;;) {
    RescanAdapters();
    if (first) {
      StartReceiveThread();
      first = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kRescanIntervalMs));
  }
}

int MaskLength(uint32_t mask) { return __builtin_popcount(mask); }

}  // namespace

void WithSocketList(const std::function<void(std::vector<WatchedSocket>&)>& fn) {
  std::lock_guard<std::mutex> lock(g_socketMu);
  fn(g_sockets);
}

void ForEachAdapter(const std::function<void(const AdapterSummary&)>& fn) {
  std::lock_guard<std::mutex> lock(g_adapterMu);
  for (const LiveAdapter& adapter : g_adapters) {
    AdapterSummary summary;
    memcpy(summary.mac, adapter.mac, sizeof(summary.mac));
    summary.macLength = adapter.macLength;
    summary.index = adapter.index;
    summary.name = adapter.name;
    for (const AddressEntry& entry : adapter.entries) {
      summary.addresses.push_back(AddressMask{entry.address, entry.mask});
      summary.sockets.emplace_back(entry.sockets, entry.sockets + 4);
    }
    fn(summary);
  }
}

std::vector<AdapterSummary> SnapshotAdapters() {
  std::vector<AdapterSummary> out;
  ForEachAdapter([&out](const AdapterSummary& a) { out.push_back(a); });
  return out;
}

size_t LocalAddressCount() {
  std::lock_guard<std::mutex> lock(g_adapterMu);
  size_t n = 0;
  for (const LiveAdapter& adapter : g_adapters) n += adapter.entries.size();
  return n;
}

void ReconcileAdapters(const std::vector<AdapterInfo>& scan) {
  std::lock_guard<std::mutex> lock(g_adapterMu);
  if (g_watchStopped) return;
  std::vector<bool> scanSeen(scan.size(), false);

  for (size_t i = 0; i < scan.size(); ++i) {
    if (scan[i].addresses.empty()) {
      scanSeen[i] = true;  // no address: no live adapter
      continue;
    }
    for (LiveAdapter& live : g_adapters) {
      if (live.seen || !SameAdapter(live, scan[i])) continue;
      live.seen = true;
      scanSeen[i] = true;
      live.name = scan[i].name;
      ReconcileAddresses(&live, scan[i]);
      break;
    }
  }

  for (LiveAdapter& live : g_adapters) {
    if (live.seen) continue;
    for (AddressEntry& entry : live.entries) CloseEntry(&entry);
  }
  g_adapters.erase(std::remove_if(g_adapters.begin(), g_adapters.end(),
                                  [](const LiveAdapter& a) { return !a.seen; }),
                   g_adapters.end());

  for (size_t i = 0; i < scan.size(); ++i) {
    if (scanSeen[i]) continue;
    scanSeen[i] = true;
    LiveAdapter live;
    memcpy(live.mac, scan[i].mac, sizeof(live.mac));
    live.macLength = scan[i].macLength;
    live.index = scan[i].index;
    live.name = scan[i].name;
    for (const AddressMask& am : scan[i].addresses) live.entries.push_back(MakeEntry(live, am));
    live.seen = true;
    g_adapters.push_back(std::move(live));
  }

  for (LiveAdapter& live : g_adapters) live.seen = false;
}

void RescanAdapters() {
  std::vector<AdapterInfo> scan;
  if (!QueryAdapters(&scan)) scan.clear();
  ReconcileAdapters(scan);
}

void StartAdapterWatch() {
  if (g_watchStarted.exchange(true)) return;
  try {
    std::thread(WatchThread).detach();
  } catch (const std::system_error&) {
    g_watchStarted = false;
  }
}

void StopAdapterWatch() {
  std::lock_guard<std::mutex> lock(g_adapterMu);
  g_watchStopped = true;
  for (LiveAdapter& live : g_adapters)
    for (AddressEntry& entry : live.entries) CloseEntry(&entry);
  g_adapters.clear();
  std::vector<WatchedSocket> rest;
  {
    std::lock_guard<std::mutex> socketLock(g_socketMu);
    rest.swap(g_sockets);
  }
  for (const WatchedSocket& s : rest) CloseUdpSocket(s.fd);
}

int SendUnicast(const uint8_t* data, size_t len, uint32_t dest) {
  if (data == nullptr || len > kMaxDatagram) return 0;
  uint8_t buf[kMaxDatagram];
  memcpy(buf, data, len);
  uint16_t port = Settings().switchPort.load();
  std::lock_guard<std::mutex> lock(g_adapterMu);
  std::vector<EntryRef> refs;
  std::vector<AddressMask> ams;
  FlattenEntries(&refs, &ams);
  int sent = 0;
  for (size_t i : PickUnicastEntries(ams, dest)) {
    WriteSenderMac(buf, len, *refs[i].adapter);
    // Errors are left to the poll and reply logic: a lost poll counts as
    // a missed reply.
    SendDatagramFrom(refs[i].entry->sockets[kSocketUnicast], refs[i].entry->address,
                     refs[i].adapter->index, dest, port, buf, len);
    sent = 1;
  }
  return sent;
}

int SendBroadcast(const uint8_t* data, size_t len) {
  return SendThroughAll(data, len, kSocketBroadcast, htonl(INADDR_BROADCAST), true);
}

int SendMulticast(const uint8_t* data, size_t len) {
  return SendThroughAll(data, len, kSocketMulticast, Settings().multicastGroup.load(), false);
}

int SendBroadcastAndMulticast(const uint8_t* data, size_t len) {
  int b = SendBroadcast(data, len);
  int m = SendMulticast(data, len);
  return (b || m) ? 1 : 0;
}

int SendTftp(uint16_t port, uint32_t dest, const uint8_t* data, size_t len, uint32_t localAddr) {
  if (data == nullptr || len > kMaxDatagram) return 0;
  std::lock_guard<std::mutex> lock(g_adapterMu);
  std::vector<EntryRef> refs;
  std::vector<AddressMask> ams;
  FlattenEntries(&refs, &ams);
  // One entry only: a write request from two local addresses would make
  // the switch start two transfers, and data from a second address would
  // reach it as another peer's.
  size_t i = PickTftpEntry(ams, dest, g_forcedMask.load(), localAddr);
  if (i >= refs.size()) return 0;
  int err = SendDatagramFrom(refs[i].entry->sockets[kSocketTftp], refs[i].entry->address,
                             refs[i].adapter->index, dest, port, data, len);
  return err != 0 && !WouldBlock(err) ? 0 : 1;
}

void SetForcedMask(uint32_t mask) { g_forcedMask = mask; }
uint32_t ForcedMask() { return g_forcedMask.load(); }

std::vector<size_t> PickUnicastEntries(const std::vector<AddressMask>& entries, uint32_t dest) {
  std::vector<size_t> picked;
  for (size_t i = 0; i < entries.size(); ++i)
    if ((entries[i].address & entries[i].mask) == (dest & entries[i].mask)) picked.push_back(i);
  if (picked.empty())
    for (size_t i = 0; i < entries.size(); ++i) picked.push_back(i);
  return picked;
}

std::vector<size_t> PickTftpEntries(const std::vector<AddressMask>& entries, uint32_t dest,
                                    uint32_t forcedMask) {
  std::vector<AddressMask> judged(entries);
  for (AddressMask& am : judged)
    if (MaskLength(forcedMask) > MaskLength(am.mask)) am.mask = forcedMask;
  return PickUnicastEntries(judged, dest);
}

size_t PickTftpEntry(const std::vector<AddressMask>& entries, uint32_t dest, uint32_t forcedMask,
                     uint32_t localAddr) {
  if (localAddr != 0) {
    for (size_t i = 0; i < entries.size(); ++i)
      if (entries[i].address == localAddr) return i;
  }
  std::vector<size_t> picked = PickTftpEntries(entries, dest, forcedMask);
  return picked.empty() ? entries.size() : picked.front();
}

TORVANE_ENGINE_MODULE("adapter watch", EnginePhase::kStart, 0, &StartAdapterWatch,
                      &StopAdapterWatch);

}  // namespace torvane
