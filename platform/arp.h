// Static IPv4 neighbour (ARP) entries of the system, through rtnetlink.
//
// While a switch is being upgraded its IP address is pinned to its MAC
// address on the adapters that reach it, so that the TFTP transfer does
// not depend on ARP resolution while the switch reboots or answers slowly.
// The entries this program makes carry kOwnNeighbourProtocol, so that they
// can be told from everyone else's, also after a crash.
//
// The routines talk to the kernel over a short-lived NETLINK_ROUTE socket
// and wait at most one second for each answer. They are thread-safe and
// change only the neighbour table of the calling process's network
// namespace.
#pragma once

#include <cstdint>
#include <vector>

namespace torvane {

// The protocol tag (NDA_PROTOCOL) of the entries this program makes.
constexpr uint8_t kOwnNeighbourProtocol = 0xF3;

// One IPv4 neighbour entry as the kernel reports it.
struct NeighbourEntry {
  uint32_t ifindex = 0;
  uint32_t ip = 0;         // network order
  uint16_t state = 0;      // NUD_* bits
  bool hasMac = false;
  uint8_t mac[6] = {};
  uint8_t protocol = 0;    // 0 when the kernel gave none
};

// True for an entry that maps its address to a link-layer address someone
// relies on: configured (permanent, noarp) or learned (reachable, stale,
// delay, probe). Incomplete and failed entries map nothing.
bool NeighbourEntryInUse(const NeighbourEntry& entry);

// True for a learned entry (not permanent, not noarp) that already maps
// its address to mac: the kernel's cache of that very device, which a pin
// may stand in for without taking the address from anyone.
bool IsLearnedEntryOf(const NeighbourEntry& entry, const uint8_t mac[6]);

// True for a permanent entry with a link-layer address that carries this
// program's protocol tag, or no tag at all (a kernel that does not keep
// the tag reports none).
bool IsOwnStaticEntry(const NeighbourEntry& entry);

// Creates or replaces the neighbour entry of ip (network order) on the
// interface ifindex as a permanent (static) entry pointing at mac, tagged
// with kOwnNeighbourProtocol. Returns 0, or the errno reported by the
// kernel or by the socket calls.
int SetStaticArpEntry(uint32_t ifindex, uint32_t ip, const uint8_t mac[6]);

// Deletes the neighbour entry of ip on ifindex, whatever its state.
// Returns 0, ENOENT when there was none, or another errno.
int DeleteArpEntry(uint32_t ifindex, uint32_t ip);

// Every IPv4 neighbour entry of the namespace. Returns 0 or an errno (then
// *out holds what was read).
int ListArpEntries(std::vector<NeighbourEntry>* out);

// The entry of ip on ifindex. Returns 0 when found, ENOENT when there is
// none, or another errno.
int FindArpEntry(uint32_t ifindex, uint32_t ip, NeighbourEntry* out);

}  // namespace torvane
