// The engine's view of the local adapters: the adapter list with four UDP
// sockets per local IPv4 address, the socket list the receive thread
// watches, the adapter watch thread that keeps both in step with the system,
// and the routines that send device protocol datagrams and TFTP packets.
//
// Locking: the adapter list mutex guards the adapters, their address entries
// and every send; the socket list mutex guards the socket list. The adapter
// list mutex may be held while taking the socket list mutex, never the other
// way round. Callers may hold the monitor list or upgrade table mutex when
// they call a send routine or ForEachAdapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/udp_socket.h"

namespace torvane {

// An engine socket as the socket list holds it.
struct WatchedSocket {
  int fd;
  SocketKind kind;
  uint32_t localAddr;  // network order: the address entry it belongs to
  uint32_t ifindex;
};

// Calls fn with the socket list, under the socket list mutex. fn must not
// take the adapter list mutex.
void WithSocketList(const std::function<void(std::vector<WatchedSocket>&)>& fn);

// --- Adapter list -----------------------------------------------------------

// A copy of one live adapter, for ForEachAdapter and diagnostics.
struct AdapterSummary {
  uint8_t mac[8];
  uint32_t macLength;
  uint32_t index;
  std::string name;
  std::vector<AddressMask> addresses;  // with the live masks
  // Per address, the four sockets (-1 when not open): multicast, broadcast,
  // unicast, TFTP, indexed by SocketKind.
  std::vector<std::vector<int>> sockets;
};

// Calls fn for each live adapter, in list order, under the adapter list
// mutex (for the static ARP entries of switches under upgrade). fn must not
// call a send routine or take the adapter list mutex.
void ForEachAdapter(const std::function<void(const AdapterSummary&)>& fn);

// A copy of the adapter list.
std::vector<AdapterSummary> SnapshotAdapters();

// Number of local address entries; discovery needs at least one.
size_t LocalAddressCount();

// One rescan: reconciles the adapter list with scan (the system's adapters),
// creating the sockets of new addresses and closing those of addresses that
// are gone. An adapter is the same across rescans when its 6-byte hardware
// address and its interface index are unchanged. Does nothing once the
// adapter watch has been stopped.
void ReconcileAdapters(const std::vector<AdapterInfo>& scan);

// One rescan from the system's adapter list (an unreadable list counts as
// no adapter at all).
void RescanAdapters();

// Module entry points of the "adapter watch" engine module: Start runs the
// watch thread (a rescan every 10000 ms; the receive thread is started
// after the first); Stop closes every socket and empties both lists, after
// which no rescan recreates anything.
void StartAdapterWatch();
void StopAdapterWatch();

// --- Sends -------------------------------------------------------------------
//
// data/len is a whole device protocol message (at most kMaxDatagram bytes).
// The routines send a copy in which header bytes 20..25 hold the MAC of the
// adapter it leaves by; the caller's buffer is not changed. Every datagram
// goes to the switch port P+2 with the address entry's address as source.

// To dest (network order) through the unicast socket of every address entry
// whose subnet holds dest; when none does, through every address entry.
// Send errors are ignored. Returns 1 when at least one entry was used, else
// 0.
int SendUnicast(const uint8_t* data, size_t len, uint32_t dest);

// To 255.255.255.255 through the broadcast socket of every address entry.
// A send error other than would-block prints "WSAGetLastError() = %d\n".
// Returns 1 when at least one address entry exists, else 0.
int SendBroadcast(const uint8_t* data, size_t len);

// To the multicast group through the multicast socket of every address
// entry; errors ignored. Returns 1 when at least one address entry exists.
int SendMulticast(const uint8_t* data, size_t len);

// SendBroadcast then SendMulticast; 1 when either returned 1.
int SendBroadcastAndMulticast(const uint8_t* data, size_t len);

// Sends a TFTP packet (not device protocol; sent unchanged) to dest:port
// (dest network order, port host order) through the TFTP socket of one
// address entry, so that the switch sees one peer for the whole transfer:
// the entry of localAddr (network order) when it exists, else the first
// entry PickTftpEntries gives. Returns 1 when sent, 0 on a send error other
// than would-block or when no address entry exists.
int SendTftp(uint16_t port, uint32_t dest, const uint8_t* data, size_t len, uint32_t localAddr);

// The forced mask (network order) used by SendTftp; 0 until first set.
void SetForcedMask(uint32_t mask);
uint32_t ForcedMask();

// --- Entry choice, pure ------------------------------------------------------

// Indexes of the entries whose subnet holds dest (address & mask == dest &
// mask); all indexes when none does. Values in network order.
std::vector<size_t> PickUnicastEntries(const std::vector<AddressMask>& entries, uint32_t dest);

// As PickUnicastEntries, judging each entry by the longer (more specific)
// of its mask and forcedMask.
std::vector<size_t> PickTftpEntries(const std::vector<AddressMask>& entries, uint32_t dest,
                                    uint32_t forcedMask);

// The one entry a TFTP packet leaves by: the entry whose address is
// localAddr when there is one (localAddr 0 names none), else the first of
// PickTftpEntries. entries.size() when entries is empty.
size_t PickTftpEntry(const std::vector<AddressMask>& entries, uint32_t dest, uint32_t forcedMask,
                     uint32_t localAddr);

}  // namespace torvane
