#include "engine/receive.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/adapters.h"
#include "platform/tick.h"

namespace torvane {

// --- PacketQueue -------------------------------------------------------------

bool PacketQueue::Append(std::unique_ptr<ReceivedPacket> rec) {
  if (!rec) return false;
  std::unique_ptr<ReceivedPacket> oldest;  // freed after the mutex is released
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (records_.size() >= limit_.load()) {
      // The dispatcher has fallen this far behind only in a flood; the
      // newest datagrams are the ones still worth handling.
      oldest = std::move(records_.front());
      records_.pop_front();
    }
    try {
      records_.push_back(std::move(rec));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  if (oldest) {
    dropped_.fetch_add(1);
    if (drops_ != nullptr) drops_->Note(GetTickMs());
  }
  return true;
}

void PacketQueue::Signal() { cv_.notify_one(); }

std::unique_ptr<ReceivedPacket> PacketQueue::TakeOldest() {
  std::lock_guard<std::mutex> lock(mu_);
  if (records_.empty()) return nullptr;
  std::unique_ptr<ReceivedPacket> rec = std::move(records_.front());
  records_.pop_front();
  return rec;
}

void PacketQueue::WaitNonEmpty() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return !records_.empty(); });
}

bool PacketQueue::WaitNonEmptyFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !records_.empty(); });
}

size_t PacketQueue::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_.size();
}

void PacketQueue::Clear() {
  std::deque<std::unique_ptr<ReceivedPacket>> doomed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    doomed.swap(records_);
  }
}

PacketQueue& ReplyQueue() {
  // Both live as long as the threads.
  static PacketQueue* queue =
      new PacketQueue(kPacketQueueLimit, new DropReport("reply queue packets"));
  return *queue;
}

PacketQueue& UpgradeQueue() {
  static PacketQueue* queue =
      new PacketQueue(kPacketQueueLimit, new DropReport("upgrade queue packets"));
  return *queue;
}

// --- Routing -----------------------------------------------------------------

void QueueReceivedPacket(std::unique_ptr<ReceivedPacket> rec, bool* signalReply,
                         bool* signalUpgrade) {
  if (!rec) return;
  bool tftp = rec->isTftp != 0;
  uint16_t type = rec->msgType;
  if (!tftp && type == kMsgDiscoveryReply) {
    // The upgrade engine recognises a rebooted switch by its discovery
    // reply; it gets its own copy.
    std::unique_ptr<ReceivedPacket> copy(new (std::nothrow) ReceivedPacket(*rec));
    if (copy) UpgradeQueue().Append(std::move(copy));
    *signalUpgrade = true;
  }
  if (tftp || type == kMsgUpgradeReply) {
    UpgradeQueue().Append(std::move(rec));
    *signalUpgrade = true;
  } else {
    ReplyQueue().Append(std::move(rec));
    *signalReply = true;
  }
}

// --- Reading -----------------------------------------------------------------

namespace {

// Errors that say something about the network or the moment, not about the
// socket: the socket stays watched.
bool TransientReceiveError(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case ENOMEM:
    case ENOBUFS:
      return true;
    default:
      return false;
  }
}

// Only the receive thread reads sockets; a datagram that has no record to
// go into is read here and dropped.
uint8_t g_discard[kMaxDatagram];

std::atomic<bool> g_receiveStarted{false};

void ReceiveThread() {
  for (;;) {
    ReceivePass(1000);
    // At least once a second: the last drops of a flood are reported
    // without waiting for the next one.
    FlushDropReports(GetTickMs());
  }
}

}  // namespace

ReadStatus ReadOneDatagram(int fd, SocketKind kind, uint32_t localAddr,
                           std::unique_ptr<ReceivedPacket>* out) {
  out->reset();
  std::unique_ptr<ReceivedPacket> rec(new (std::nothrow) ReceivedPacket());
  struct sockaddr_in from;
  memset(&from, 0, sizeof(from));
  socklen_t fromLen = sizeof(from);
  UdpReceiveResult r = rec ? ReceiveDatagram(fd, rec->data, sizeof(rec->data), &from, &fromLen)
                           : ReceiveDatagram(fd, g_discard, sizeof(g_discard), &from, &fromLen);
  if (r.error != 0) {
    if (r.error == ECONNREFUSED) printf("Recvfrom error, set recv_len to strlen.\n");
    return TransientReceiveError(r.error) ? ReadStatus::kOk : ReadStatus::kFailed;
  }
  if (!rec) return ReadStatus::kOk;  // out of memory: the datagram is lost
  // An empty datagram carries nothing; one longer than any device protocol
  // or TFTP packet was cut short. Both are dropped, the socket stays.
  if (r.length == 0 || r.truncated || r.length > kMaxDatagram) return ReadStatus::kOk;

  rec->recvTick = GetTickMs();
  rec->length = static_cast<uint32_t>(r.length);
  rec->source = from;
  rec->sourceLength = fromLen;
  // Sockets of two addresses on one adapter share their port, and the
  // system hands a unicast datagram to either; its destination tells which
  // address it was meant for.
  bool unicast = r.destAddr != 0 && r.destAddr == r.answerAddr;
  rec->localAddr = unicast ? r.destAddr : localAddr;
  rec->destAddr = r.destAddr;
  if (kind == kSocketTftp) {
    rec->isTftp = 1;
  } else if (r.length >= kHeaderSize) {
    rec->msgType = GetBe16(rec->data + kOffType);
    rec->sequence = GetBe16(rec->data + kOffSequence);
    memcpy(rec->mac, rec->data + kOffMac, 6);
  }
  *out = std::move(rec);
  return ReadStatus::kOk;
}

int ReceivePass(int timeoutMs) {
  std::vector<struct pollfd> fds;
  WithSocketList([&fds](std::vector<WatchedSocket>& list) {
    for (const WatchedSocket& s : list) {
      bool dup = false;
      for (const struct pollfd& p : fds) dup = dup || p.fd == s.fd;
      if (!dup) fds.push_back(pollfd{s.fd, POLLIN, 0});
    }
  });

  int ready = poll(fds.empty() ? nullptr : fds.data(), fds.size(), timeoutMs);
  if (ready <= 0) return 0;
  std::unordered_map<int, short> readyFds;
  for (const struct pollfd& p : fds)
    if (p.revents != 0) readyFds[p.fd] = p.revents;

  int made = 0;
  bool signalReply = false;
  bool signalUpgrade = false;
  WithSocketList([&](std::vector<WatchedSocket>& list) {
    for (size_t i = 0; i < list.size() && ready > 0;) {
      auto it = readyFds.find(list[i].fd);
      if (it == readyFds.end()) {
        ++i;
        continue;
      }
      readyFds.erase(it);  // a descriptor listed twice is read once
      --ready;
      std::unique_ptr<ReceivedPacket> rec;
      if (ReadOneDatagram(list[i].fd, list[i].kind, list[i].localAddr, &rec) ==
          ReadStatus::kFailed) {
        // Stop watching it. The descriptor stays open and owned by its
        // address entry, which closes it when the address goes away; closing
        // it here would leave the entry with a number the system may reuse.
        list.erase(list.begin() + i);
        continue;
      }
      if (rec) {
        ++made;
        QueueReceivedPacket(std::move(rec), &signalReply, &signalUpgrade);
      }
      ++i;
    }
  });
  if (signalReply) ReplyQueue().Signal();
  if (signalUpgrade) UpgradeQueue().Signal();
  return made;
}

void StartReceiveThread() {
  if (g_receiveStarted.exchange(true)) return;
  try {
    std::thread(ReceiveThread).detach();
  } catch (const std::system_error&) {
    g_receiveStarted = false;
  }
}

}  // namespace torvane
