// Received packet records, the reply and upgrade queues, and the receive
// thread that fills them from every engine socket.
//
// Every datagram read becomes one ReceivedPacket. The receive thread puts a
// record on the reply queue, the upgrade queue or both (a discovery reply
// goes to the reply queue and a copy to the upgrade queue); the thread that
// takes a record from a queue owns it and frees it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "engine/drop_report.h"
#include "engine/protocol.h"
#include "platform/udp_socket.h"

namespace torvane {

// Callback type shared by pending requests and the trap handler: a received
// datagram of length bytes and the context registered with the routine.
using DatagramCallback = int (*)(const uint8_t* data, size_t length, void* context);

struct ReceivedPacket {
  uint32_t recvTick = 0;   // GetTickMs() when the datagram was read
  // Header fields, host order. They are taken only from a device protocol
  // datagram that holds the whole 40-byte header: a record with a non-zero
  // msgType always has length >= kHeaderSize. All zero for TFTP records.
  uint16_t msgType = 0;    // offset 12
  uint16_t sequence = 0;   // offset 26
  uint8_t mac[6] = {};     // offsets 4..9, the sending switch
  uint8_t data[kMaxDatagram] = {};  // the datagram; bytes past length are 0
  uint32_t length = 0;     // 1..kMaxDatagram
  struct sockaddr_in source = {};   // the sender
  uint32_t sourceLength = 0;
  uint32_t isTftp = 0;     // 1 when read from a TFTP socket
  // Network order: the local address the datagram arrived on. For a
  // unicast datagram its destination; for a broadcast or group datagram the
  // address of the entry whose socket read it.
  uint32_t localAddr = 0;
  uint32_t destAddr = 0;   // network order: the datagram's destination address
                           // (a local address, a broadcast address or the
                           // group); 0 when unknown
};

// Records a queue holds while its dispatcher falls behind (about 6.5 MB of
// records each). A flood beyond it costs the oldest waiting records, not
// memory.
constexpr size_t kPacketQueueLimit = 4096;

// A FIFO of received packet records with one producer (the receive thread)
// and one consumer (a dispatcher thread). Append() does not wake the
// consumer; the producer calls Signal() once it has appended a batch. The
// consumer takes records until the queue is empty and only then waits, so
// no record is left behind by a signal that came while it was busy.
//
// The queue holds at most its limit: appending to a full queue drops the
// oldest record, counts it and notes it in the queue's DropReport (if any).
class PacketQueue {
 public:
  explicit PacketQueue(size_t limit = kPacketQueueLimit, DropReport* drops = nullptr)
      : limit_(limit > 0 ? limit : 1), drops_(drops) {}

  // Appends rec at the tail, first dropping the oldest record when the
  // queue is full; drops rec itself when memory is short. Returns false
  // when rec was dropped or null.
  bool Append(std::unique_ptr<ReceivedPacket> rec);
  // Wakes the consumer if it waits.
  void Signal();
  // Unlinks and returns the oldest record, or null when the queue is empty.
  std::unique_ptr<ReceivedPacket> TakeOldest();
  // Blocks until the queue holds a record.
  void WaitNonEmpty();
  // As WaitNonEmpty, for at most ms milliseconds; true when non-empty.
  bool WaitNonEmptyFor(uint32_t ms);
  size_t Size() const;
  // Frees every record.
  void Clear();
  size_t Limit() const { return limit_.load(); }
  void SetLimit(size_t limit) { limit_ = limit > 0 ? limit : 1; }
  // Records dropped because the queue was full, since it was made.
  uint64_t Dropped() const { return dropped_.load(); }

 private:
  std::atomic<size_t> limit_;
  DropReport* drops_;                 // not owned; may be null
  std::atomic<uint64_t> dropped_{0};
  mutable std::mutex mu_;  // guards records_
  std::condition_variable cv_;
  std::deque<std::unique_ptr<ReceivedPacket>> records_;
};

// The two queues of the engine; their drops are reported as "reply queue
// packets" and "upgrade queue packets".
PacketQueue& ReplyQueue();
PacketQueue& UpgradeQueue();

// Puts rec on the queues its kind and message type call for:
//  - not from a TFTP socket and message type not 11: the reply queue;
//  - message type 2: additionally a copy on the upgrade queue;
//  - from a TFTP socket, or message type 11: the upgrade queue.
// Sets *signalReply / *signalUpgrade when the queue got a record (the
// upgrade flag also when the copy could not be allocated). The caller
// signals the queues afterwards.
void QueueReceivedPacket(std::unique_ptr<ReceivedPacket> rec, bool* signalReply,
                         bool* signalUpgrade);

enum class ReadStatus {
  kOk,      // *out holds a record, or nothing was there to take
  kFailed,  // the socket reported a hard error; stop watching it
};

// Reads one datagram from fd, a socket of the given kind belonging to the
// address entry of localAddr, into a new record (*out, null when there is none). An empty
// datagram, one longer than kMaxDatagram, an ICMP-caused error and a
// would-block leave *out null and return kOk: none of them is a fault of the
// socket.
ReadStatus ReadOneDatagram(int fd, SocketKind kind, uint32_t localAddr,
                           std::unique_ptr<ReceivedPacket>* out);

// One pass of the receive thread: waits up to timeoutMs for any socket of
// the socket list to become readable, reads one datagram from each ready
// one and queues the records. A socket that fails with a hard error leaves
// the socket list (it stays open; its address entry closes it when the
// address goes away). Returns the number of records made.
int ReceivePass(int timeoutMs);

// Starts the receive thread (ReceivePass with a 1 s wait, forever) the
// first time it is called; later calls do nothing.
void StartReceiveThread();

}  // namespace torvane
