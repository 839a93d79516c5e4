#include "engine/upgrade.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "engine/adapters.h"
#include "engine/dispatch.h"
#include "engine/engine.h"
#include "engine/receive.h"
#include "engine/settings.h"
#include "platform/arp.h"
#include "platform/tick.h"

namespace torvane {
namespace {

constexpr uint16_t kTlvCurrentPassword = 9;
constexpr size_t kPasswordField = sizeof(AgentRecord::oldPassword);
constexpr uint32_t kCommandResendMs = 2000;
constexpr uint32_t kTftpResendMs = 2000;
constexpr uint32_t kEraseResendMs = 1000;
constexpr uint32_t kProbeResendMs = 1000;

struct UpgradeEntry {
  uint32_t active = 0;
  int32_t state = kUpgradeQueued;
  uint32_t restartCount = 0;
  // Counts up to the erase wait, a 32-bit value, so it is as wide.
  uint32_t retryCount = 0;
  uint32_t probeCount = 0;
  uint32_t lastSend = 0;         // clock of the last transmission or state change
  uint32_t rebootWait = 0;       // seconds
  uint32_t eraseWait = 0;        // one-second resends of block 1
  uint16_t switchTftpPort = 0;   // host order; 0 until the acknowledgement of block 0
  uint32_t ip = 0;               // network order
  uint32_t netmask = 0;          // network order
  // The local address (network order) the switch's accepting upgrade
  // reply arrived on: every TFTP packet of the transfer leaves from it.
  uint32_t localAddr = 0;
  int file = -1;                 // open while the entry is under way
  uint16_t commandSequence = 0;
  uint8_t saved[kMaxDatagram];   // the last packet sent, for retransmission
  size_t savedLength = 0;
  uint32_t blockCount = 0;       // block number of the last data block sent
  // The file block that follows the last one sent, read while that one
  // travels; valid only for the block count it was read at.
  uint8_t readAhead[kTftpBlockSize];
  size_t readAheadLength = 0;
  uint32_t readAheadBlockCount = 0;
  bool readAheadValid = false;
  uint8_t replyCopy[kMaxDatagram];
  uint32_t replyLength = 0;
  uint32_t firmwareSize = 0;
  uint32_t transmitted = 0;
  uint8_t mac[6] = {};
  char password[kPasswordField + 1] = {};
  size_t passwordLength = 0;
  uint32_t failureCode = kUpgradeNoFailure;
  // Adapters (interface indexes) on which this entry holds a pin of its
  // switch's address; empty while it holds none.
  std::vector<uint32_t> pinnedOn;
};

// A static neighbour entry the engine made: ip pinned to mac on ifindex,
// held by `users` upgrade entries (the same address may be queued twice).
struct ArpPin {
  uint32_t ifindex;
  uint32_t ip;
  uint8_t mac[6];
  int users;
};

std::mutex g_mu;
std::list<std::unique_ptr<UpgradeEntry>> g_table;  // guarded by g_mu
std::vector<ArpPin> g_pins;                        // guarded by g_mu
char g_firmwarePath[kFirmwarePathSize];            // guarded by g_mu

// The upgrade timer. The descriptor is never closed while the timer thread
// may be reading it (a reused descriptor number would feed it someone
// else's data); a timer that could not be set is marked gone instead.
std::atomic<int> g_timerFd{-1};
std::atomic<bool> g_timerGone{false};
std::atomic<bool> g_engineStarted{false};

std::atomic<uint32_t (*)()> g_clock{nullptr};

uint32_t Now() {
  uint32_t (*clock)() = g_clock.load();
  return clock != nullptr ? clock() : GetTickMs();
}

// --- Static ARP entries --------------------------------------------------------
//
// An entry pins its switch's address while it is under way, on the
// adapters that have an address in the switch's subnet (on every adapter
// when none has: a switch at a factory-default address may sit on any
// segment). The pin goes when the entry ends, succeeds or leaves the table.
// The engine never takes an address from anyone: where the system already
// maps it (an administrator's static entry, or a learned one pointing at
// another device, such as a router's), that adapter keeps its entry. A
// learned entry that already points at the switch itself is only the
// kernel's cache of it; the pin stands in for it, so that the transfer
// does not hang on ARP while the switch erases its flash or restarts, and
// the kernel learns the address afresh once the pin goes.
//
// Run under g_mu; ForEachAdapter takes the adapter list mutex, and the
// netlink calls are made after it is released.

// Interface indexes of the adapters an entry for ip pins on.
std::vector<uint32_t> PinAdapters(uint32_t ip) {
  std::vector<uint32_t> inSubnet, all;
  ForEachAdapter([ip, &inSubnet, &all](const AdapterSummary& adapter) {
    all.push_back(adapter.index);
    for (const AddressMask& am : adapter.addresses) {
      if ((am.address & am.mask) == (ip & am.mask)) {
        inSubnet.push_back(adapter.index);
        break;
      }
    }
  });
  return inSubnet.empty() ? all : inSubnet;
}

ArpPin* FindPin(uint32_t ifindex, uint32_t ip) {
  for (ArpPin& pin : g_pins)
    if (pin.ifindex == ifindex && pin.ip == ip) return &pin;
  return nullptr;
}

void InstallStaticArpEntries(UpgradeEntry* e) {
  if (!e->pinnedOn.empty()) return;  // a restart keeps the pins it has
  for (uint32_t ifindex : PinAdapters(e->ip)) {
    try {
      e->pinnedOn.reserve(e->pinnedOn.size() + 1);  // the push_backs below cannot throw
    } catch (const std::bad_alloc&) {
      return;
    }
    ArpPin* pin = FindPin(ifindex, e->ip);
    if (pin != nullptr) {
      ++pin->users;
      e->pinnedOn.push_back(ifindex);
      continue;
    }
    NeighbourEntry existing;
    if (FindArpEntry(ifindex, e->ip, &existing) == 0 && NeighbourEntryInUse(existing) &&
        !IsLearnedEntryOf(existing, e->mac)) {
      continue;
    }
    if (SetStaticArpEntry(ifindex, e->ip, e->mac) != 0) continue;
    ArpPin made;
    made.ifindex = ifindex;
    made.ip = e->ip;
    memcpy(made.mac, e->mac, 6);
    made.users = 1;
    try {
      g_pins.push_back(made);
    } catch (const std::bad_alloc&) {
      DeleteArpEntry(ifindex, e->ip);  // untracked, it could never be removed
      continue;
    }
    e->pinnedOn.push_back(ifindex);
  }
}

// Deletes a pin the engine made, unless someone has since replaced it.
void DeletePin(const ArpPin& pin) {
  NeighbourEntry now;
  if (FindArpEntry(pin.ifindex, pin.ip, &now) != 0) return;
  if (IsOwnStaticEntry(now) && memcmp(now.mac, pin.mac, 6) == 0)
    DeleteArpEntry(pin.ifindex, pin.ip);
}

void RemoveStaticArpEntries(UpgradeEntry* e) {
  for (uint32_t ifindex : e->pinnedOn) {
    ArpPin* pin = FindPin(ifindex, e->ip);
    if (pin == nullptr || --pin->users > 0) continue;
    DeletePin(*pin);
    g_pins.erase(g_pins.begin() + (pin - g_pins.data()));
  }
  e->pinnedOn.clear();
}

// Deletes the pins a previous run of the server left behind (it ended
// without clearing its upgrade table, by a crash or a kill).
void RemoveLeftoverPins() {
  std::vector<NeighbourEntry> all;
  ListArpEntries(&all);
  for (const NeighbourEntry& entry : all) {
    if (IsOwnStaticEntry(entry) && entry.protocol == kOwnNeighbourProtocol)
      DeleteArpEntry(entry.ifindex, entry.ip);
  }
}

// --- Entry transitions; each requires g_mu -----------------------------------

void CloseFirmwareFile(UpgradeEntry* e) {
  if (e->file >= 0) close(e->file);
  e->file = -1;
}

// Ends the entry without starting another.
void EndEntry(UpgradeEntry* e, uint32_t code) {
  e->active = 0;
  e->state = kUpgradeFailed;
  e->failureCode = code;
  CloseFirmwareFile(e);
  RemoveStaticArpEntries(e);
}

int StartNextLocked();

// Ends the entry and hands its turn to the next queued one.
void FailEntry(UpgradeEntry* e, uint32_t code) {
  EndEntry(e, code);
  StartNextLocked();
}

// Builds the upgrade command with a fresh sequence number, pins the
// switch's address and sends the command; it becomes the saved packet.
void SendUpgradeCommand(UpgradeEntry* e) {
  uint16_t sequence = TakeSequenceNumber();
  e->savedLength =
      BuildUpgradeCommand(e->saved, e->mac, sequence, e->password, e->passwordLength);
  InstallStaticArpEntries(e);
  SendBroadcastAndMulticast(e->saved, e->savedLength);
  e->commandSequence = sequence;
}

bool StartEntry(UpgradeEntry* e) {
  // Non-blocking, so that a path naming a FIFO cannot stall the caller;
  // for a regular file the flag changes nothing.
  int fd = open(g_firmwarePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    EndEntry(e, kUpgradeFileMissing);
    return false;
  }
  // Only a regular file has an image to send: a directory cannot be read
  // and a device such as /dev/zero never ends. Either fails here, before
  // the switch is told anything.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    EndEntry(e, kUpgradeFileMissing);
    return false;
  }
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    close(fd);
    EndEntry(e, kUpgradeFileSizeError);
    return false;
  }
  SendUpgradeCommand(e);
  e->file = fd;
  e->firmwareSize = static_cast<uint32_t>(end);
  e->transmitted = 0;
  e->active = 1;
  e->state = kUpgradeCommandSent;
  e->lastSend = Now();
  return true;
}

int StartNextLocked() {
  for (const std::unique_ptr<UpgradeEntry>& e : g_table) {
    if (e->state == kUpgradeQueued && StartEntry(e.get())) return 1;
  }
  return 0;
}

// Begins the entry again with a new upgrade command. The file stays open
// and the restart count is left to the caller: command resends and
// restarts share one limit.
void RestartEntry(UpgradeEntry* e) {
  e->readAheadValid = false;
  e->blockCount = 0;
  e->transmitted = 0;
  e->switchTftpPort = 0;
  e->retryCount = 0;
  e->probeCount = 0;
  SendUpgradeCommand(e);
  e->state = kUpgradeCommandSent;
  e->lastSend = Now();
}

// Restarts the entry when the limit allows, else fails it with code.
void RestartOrFail(UpgradeEntry* e, uint32_t code) {
  if (e->restartCount != kUpgradeRestartLimit) {
    RestartEntry(e);
    ++e->restartCount;
  } else {
    FailEntry(e, code);
  }
}

void ResendTftp(UpgradeEntry* e, uint16_t port, uint32_t now) {
  SendTftp(port, e->ip, e->saved, e->savedLength, e->localAddr);
  e->lastSend = now;
  ++e->retryCount;
}

void TickEntry(UpgradeEntry* e, uint32_t now) {
  uint32_t elapsed = now - e->lastSend;
  switch (e->state) {
    case kUpgradeCommandSent:
      if (elapsed < kCommandResendMs) return;
      if (e->restartCount == kUpgradeRestartLimit) {
        FailEntry(e, kUpgradeNoReply);
        return;
      }
      SendBroadcastAndMulticast(e->saved, e->savedLength);
      e->lastSend = now;
      ++e->restartCount;
      return;
    case kUpgradeWriteSent:
    case kUpgradeTransferring:
    case kUpgradeLastBlockSent:
      if (elapsed < kTftpResendMs) return;
      if (e->retryCount != kUpgradeRetryLimit) {
        ResendTftp(e, e->state == kUpgradeWriteSent ? kTftpServerPort : e->switchTftpPort, now);
      } else {
        RestartOrFail(e, e->state == kUpgradeWriteSent ? kUpgradeWriteTimeout
                                                       : kUpgradeBlockTimeout);
      }
      return;
    case kUpgradeErasing:
      if (elapsed < kEraseResendMs) return;
      if (e->retryCount != e->eraseWait) {
        ResendTftp(e, e->switchTftpPort, now);
      } else {
        RestartOrFail(e, kUpgradeWriteTimeout);
      }
      return;
    case kUpgradeRebooting: {
      uint32_t wait = e->rebootWait * 1000u;
      if (wait == 0) wait = kUpgradeDefaultRebootMs;
      if (elapsed < wait) return;
      e->savedLength = BuildUpgradeProbe(e->saved);
      SendBroadcastAndMulticast(e->saved, e->savedLength);
      e->state = kUpgradeProbing;
      e->lastSend = now;
      return;
    }
    case kUpgradeProbing:
      if (elapsed < kProbeResendMs) return;
      if (e->probeCount != kUpgradeProbeLimit) {
        SendBroadcastAndMulticast(e->saved, e->savedLength);
        e->lastSend = now;
        ++e->probeCount;
      } else {
        RestartOrFail(e, kUpgradeProbeTimeout);
      }
      return;
    default:
      return;
  }
}

bool CookieMatches(const ReceivedPacket& packet) {
  return packet.length >= kHeaderSize &&
         GetBe32(packet.data + kOffCookie) == Settings().magicCookie.load();
}

// Requires g_mu.
UpgradeEntry* FirstActiveWithMac(const uint8_t* mac) {
  for (const std::unique_ptr<UpgradeEntry>& e : g_table)
    if (e->active && memcmp(e->mac, mac, 6) == 0) return e.get();
  return nullptr;
}

// Reads up to one block at offset; returns the byte count or -1.
ssize_t ReadBlock(int fd, uint64_t offset, uint8_t* buf) {
  for (;;) {
    ssize_t n = pread(fd, buf, kTftpBlockSize, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Sends the block after the acknowledged one. Requires g_mu.
//
// The block goes out first: the check that the firmware path still names a
// regular file and the read of the following block run while it travels
// and the switch answers. A firmware file that has disappeared (or was
// replaced by something else) is thus noticed just after a block went out,
// and ends the entry with code 1.
void SendNextBlock(UpgradeEntry* e, uint16_t acked) {
  uint8_t fresh[kTftpBlockSize];
  const uint8_t* data = fresh;
  size_t got;
  if (e->readAheadValid && e->readAheadBlockCount == e->blockCount) {
    data = e->readAhead;
    got = e->readAheadLength;
  } else {
    ssize_t n = ReadBlock(e->file, uint64_t{e->blockCount} * kTftpBlockSize, fresh);
    if (n < 0) {
      FailEntry(e, kUpgradeFileReadError);
      return;
    }
    got = static_cast<size_t>(n);
  }
  e->readAheadValid = false;
  e->savedLength = BuildDataBlock(e->saved, static_cast<uint16_t>(acked + 1), data, got);
  SendTftp(e->switchTftpPort, e->ip, e->saved, e->savedLength, e->localAddr);
  if (e->state == kUpgradeWriteSent)
    e->state = e->eraseWait != 0 ? kUpgradeErasing : kUpgradeTransferring;
  else if (e->state == kUpgradeErasing)
    e->state = kUpgradeTransferring;
  if (got < kTftpBlockSize) e->state = kUpgradeLastBlockSent;
  ++e->blockCount;
  e->transmitted += static_cast<uint32_t>(got);
  e->retryCount = 0;
  e->lastSend = Now();

  struct stat st;
  if (stat(g_firmwarePath, &st) != 0 || !S_ISREG(st.st_mode)) {
    EndEntry(e, kUpgradeFileMissing);
    return;
  }
  if (e->state == kUpgradeLastBlockSent) return;
  // A failed read here is not final: the block is read again when it is
  // due, and a failure then ends the entry.
  ssize_t n = ReadBlock(e->file, uint64_t{e->blockCount} * kTftpBlockSize, e->readAhead);
  if (n >= 0) {
    e->readAheadLength = static_cast<size_t>(n);
    e->readAheadBlockCount = e->blockCount;
    e->readAheadValid = true;
  }
}

void TimerThread(int fd) {
  for (;;) {
    uint64_t expirations = 0;
    ssize_t n = read(fd, &expirations, sizeof(expirations));
    if (n == static_cast<ssize_t>(sizeof(expirations))) {
      UpgradeTick();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // the timer is gone
  }
}

void DisarmTimer() {
  int fd = g_timerFd.load();
  if (fd < 0 || g_timerGone) return;
  struct itimerspec off;
  memset(&off, 0, sizeof(off));
  timerfd_settime(fd, 0, &off, nullptr);
}

// Requires g_mu.
void EmptyTableLocked() {
  for (const std::unique_ptr<UpgradeEntry>& e : g_table) {
    CloseFirmwareFile(e.get());
    RemoveStaticArpEntries(e.get());
  }
  g_table.clear();
}

}  // namespace

// --- Messages -------------------------------------------------------------------

size_t BuildUpgradeCommand(uint8_t* buf, const uint8_t mac[6], uint16_t sequence,
                           const char* password, size_t passwordLength) {
  if (buf == nullptr || mac == nullptr || (password == nullptr && passwordLength != 0))
    return 0;
  memset(buf, 0, kHeaderSize);
  if (BuildHeader(buf, kMsgUpgradeCommand) != kHeaderSize) return 0;
  memcpy(buf + kOffMac, mac, 6);
  PutBe16(buf + kOffSequence, sequence);
  size_t tlv = PutTlv(buf, kMaxDatagram, kHeaderSize, kTlvCurrentPassword, password,
                      passwordLength);
  return tlv == 0 ? 0 : kHeaderSize + tlv;
}

size_t BuildUpgradeProbe(uint8_t* buf) {
  if (buf == nullptr) return 0;
  memset(buf, 0, kHeaderSize);
  return BuildHeader(buf, kMsgDiscoveryRequest);
}

size_t BuildWriteRequest(uint8_t* buf, const char* fileName, size_t fileNameLength) {
  static const char kMode[] = "octet";
  size_t len = 2 + fileNameLength + 1 + sizeof(kMode);
  if (buf == nullptr || (fileName == nullptr && fileNameLength != 0) || len > kMaxDatagram)
    return 0;
  PutBe16(buf, kTftpOpWrite);
  if (fileNameLength != 0) memcpy(buf + 2, fileName, fileNameLength);
  buf[2 + fileNameLength] = 0;
  memcpy(buf + 3 + fileNameLength, kMode, sizeof(kMode));  // with its NUL
  return len;
}

size_t BuildDataBlock(uint8_t* buf, uint16_t block, const uint8_t* data, size_t dataLength) {
  if (buf == nullptr || dataLength > kTftpBlockSize || (data == nullptr && dataLength != 0))
    return 0;
  PutBe16(buf, kTftpOpData);
  PutBe16(buf + 2, block);
  if (dataLength != 0) memcpy(buf + kTftpHeaderSize, data, dataLength);
  return kTftpHeaderSize + dataLength;
}

// --- Table ----------------------------------------------------------------------

bool SetFirmwarePath(const char* path) {
  if (path == nullptr) return false;
  size_t len = strnlen(path, kFirmwarePathSize);
  if (len >= kFirmwarePathSize) return false;
  std::lock_guard<std::mutex> lock(g_mu);
  memset(g_firmwarePath, 0, sizeof(g_firmwarePath));
  memcpy(g_firmwarePath, path, len);
  return true;
}

void GetFirmwarePath(char (&out)[kFirmwarePathSize]) {
  std::lock_guard<std::mutex> lock(g_mu);
  memcpy(out, g_firmwarePath, sizeof(out));
}

int AddUpgradeEntry(const AgentRecord* rec) {
  if (rec == nullptr) return 0;
  std::unique_ptr<UpgradeEntry> e(new (std::nothrow) UpgradeEntry());
  if (!e) return 0;
  memcpy(&e->ip, rec->agentIpAddr, 4);
  memcpy(&e->netmask, rec->agentNetmask, 4);
  memcpy(e->mac, rec->macAddr, 6);
  // The record's field may be filled to its width without a terminator.
  e->passwordLength = strnlen(rec->oldPassword, kPasswordField);
  memcpy(e->password, rec->oldPassword, e->passwordLength);
  e->rebootWait = rec->upgradeRebootTime;
  e->eraseWait = rec->upgradeEreaseFlashTime;
  std::lock_guard<std::mutex> lock(g_mu);
  try {
    g_table.push_back(std::move(e));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

int ArmUpgradeTimer() {
  int fd = g_timerFd.load();
  if (fd < 0 || g_timerGone) return 0;
  struct itimerspec period;
  memset(&period, 0, sizeof(period));
  period.it_value.tv_sec = 1;
  period.it_interval.tv_sec = 1;
  if (timerfd_settime(fd, 0, &period, nullptr) != 0) {
    g_timerGone = true;
    return 0;
  }
  return 1;
}

int StartNextQueuedEntry() {
  std::lock_guard<std::mutex> lock(g_mu);
  return StartNextLocked();
}

int ClearUpgradeTable() {
  DisarmTimer();
  std::lock_guard<std::mutex> lock(g_mu);
  EmptyTableLocked();
  return 1;
}

int QueryUpgradeStatus(const uint8_t mac[6], UpgradeStatusCopy* out) {
  if (mac == nullptr || out == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_mu);
  const UpgradeEntry* found = nullptr;
  for (const std::unique_ptr<UpgradeEntry>& e : g_table)
    if (memcmp(e->mac, mac, 6) == 0) found = e.get();
  if (found == nullptr) return 0;
  out->active = found->active;
  out->state = found->state;
  out->restartCount = found->restartCount;
  out->retryCount = found->retryCount;
  out->probeCount = found->probeCount;
  out->blockCount = found->blockCount;
  out->firmwareSize = found->firmwareSize;
  out->transmitted = found->transmitted;
  out->failureCode = found->failureCode;
  out->replyLength = 0;
  if (found->state == kUpgradeSucceeded) {
    memcpy(out->replyCopy, found->replyCopy, found->replyLength);
    out->replyLength = found->replyLength;
  }
  return 1;
}

int QueryUpgradingSwitch(uint8_t mac[6], uint8_t ip[4]) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (const std::unique_ptr<UpgradeEntry>& e : g_table) {
    if (!e->active) continue;
    if (mac != nullptr) memcpy(mac, e->mac, 6);
    if (ip != nullptr) memcpy(ip, &e->ip, 4);
    return 1;
  }
  return 0;
}

int UpgradeTick() {
  std::lock_guard<std::mutex> lock(g_mu);
  for (const std::unique_ptr<UpgradeEntry>& e : g_table) {
    if (!e->active) continue;
    // Send TFTP judges the switch's subnet by the longer of each local
    // mask and this one; the handlers send with the last value set here.
    SetForcedMask(e->netmask);
    // The clock is read per entry: an entry that an earlier one started
    // during this pass stamped its last send after a pass-wide reading,
    // and would look 49 days old.
    TickEntry(e.get(), Now());
  }
  return 1;
}

// --- Handlers -------------------------------------------------------------------

int HandleUpgradeReply(const ReceivedPacket& packet) {
  if (!CookieMatches(packet)) return 0;
  uint16_t status = GetBe16(packet.data + kOffStatus);
  uint16_t sequence = GetBe16(packet.data + kOffSequence);
  if (status != 0 && status != 2) return 0;

  std::lock_guard<std::mutex> lock(g_mu);
  UpgradeEntry* e = FirstActiveWithMac(packet.data + kOffMac);
  if (e == nullptr) return 1;
  // A reply to an older command, or one that came 3 s or more after the
  // last send, is left to the resend logic. The last send is stamped once
  // the command is out, so a fast reply can be read before it: a receive
  // time earlier than the stamp counts as no time at all.
  uint32_t age = packet.recvTick - e->lastSend;
  if (static_cast<int32_t>(age) < 0) age = 0;
  if (sequence != e->commandSequence || age >= kUpgradeReplyWindowMs ||
      e->state != kUpgradeCommandSent)
    return 1;
  if (status == 2) {
    FailEntry(e, kUpgradeRefused);
    return 1;
  }
  // The transfer runs through the local address that heard the switch
  // accept: a host with two addresses in the switch's subnet would
  // otherwise write to it from both.
  e->localAddr = packet.localAddr;
  e->savedLength = BuildWriteRequest(e->saved, g_firmwarePath, strlen(g_firmwarePath));
  SendTftp(kTftpServerPort, e->ip, e->saved, e->savedLength, e->localAddr);
  e->lastSend = Now();
  e->state = kUpgradeWriteSent;
  return 1;
}

int HandleUpgradeDiscovery(const ReceivedPacket& packet) {
  if (!CookieMatches(packet)) return 0;
  std::lock_guard<std::mutex> lock(g_mu);
  // Only an entry that is probing waits for this reply. Earlier, finished
  // entries of the same switch are passed over, so that a switch queued a
  // second time can complete its second upgrade.
  for (const std::unique_ptr<UpgradeEntry>& e : g_table) {
    if (e->state != kUpgradeProbing || memcmp(e->mac, packet.data + kOffMac, 6) != 0) continue;
    e->state = kUpgradeSucceeded;
    e->active = 0;
    uint32_t length = packet.length < kMaxDatagram ? packet.length : kMaxDatagram;
    memcpy(e->replyCopy, packet.data, length);
    e->replyLength = length;
    CloseFirmwareFile(e.get());
    RemoveStaticArpEntries(e.get());
    StartNextLocked();
    break;
  }
  return 1;
}

int HandleUpgradeTftp(const ReceivedPacket& packet) {
  if (packet.length < kTftpHeaderSize || packet.length > kMaxDatagram) return 0;
  uint16_t opcode = GetBe16(packet.data);
  uint16_t block = GetBe16(packet.data + 2);
  if (opcode != kTftpOpAck && opcode != kTftpOpError) return 0;
  uint32_t source = packet.source.sin_addr.s_addr;
  uint16_t sourcePort = ntohs(packet.source.sin_port);

  std::lock_guard<std::mutex> lock(g_mu);
  UpgradeEntry* e = nullptr;
  for (const std::unique_ptr<UpgradeEntry>& candidate : g_table) {
    if (candidate->active && candidate->ip == source) {
      e = candidate.get();
      break;
    }
  }
  if (e == nullptr || e->state < kUpgradeWriteSent || e->state > kUpgradeLastBlockSent) return 1;
  // Once the switch has chosen its transfer port, packets from any other
  // port belong to another transfer and are dropped, errors included.
  bool portKnown = e->state != kUpgradeWriteSent;
  if (portKnown && sourcePort != e->switchTftpPort) return 1;

  if (opcode == kTftpOpError) {
    EndEntry(e, kUpgradeTftpError);
    return 1;
  }
  if (block != e->blockCount) return 1;  // a repeated acknowledgement of an older block
  if (e->state == kUpgradeLastBlockSent) {
    e->state = kUpgradeRebooting;
    e->lastSend = Now();
    return 1;
  }
  if (!portKnown) e->switchTftpPort = sourcePort;
  SendNextBlock(e, block);
  return 1;
}

// --- Module -----------------------------------------------------------------------

void SetUpgradeClock(uint32_t (*clock)()) { g_clock = clock; }

void StartUpgradeEngine() {
  if (g_engineStarted.exchange(true)) return;
  RemoveLeftoverPins();
  SetPacketHandler(HandlerRole::kUpgradeTftp, &HandleUpgradeTftp);
  SetPacketHandler(HandlerRole::kUpgradeDiscovery, &HandleUpgradeDiscovery);
  SetPacketHandler(HandlerRole::kUpgradeReply, &HandleUpgradeReply);
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (fd < 0) return;  // no timer: StartUpgrade fails
  try {
    std::thread(TimerThread, fd).detach();
  } catch (const std::system_error&) {
    close(fd);
    return;
  }
  g_timerFd = fd;
}

void StopUpgradeEngine() {
  DisarmTimer();
  std::lock_guard<std::mutex> lock(g_mu);
  EmptyTableLocked();
}

TORVANE_ENGINE_MODULE("upgrade timer", EnginePhase::kStart, 50, &StartUpgradeEngine,
                      &StopUpgradeEngine);

}  // namespace torvane
