// Static IPv4 neighbour (ARP) entries of the system, through rtnetlink.
//
// While a switch is being upgraded its IP address is pinned to its MAC
// address on every local adapter, so that the TFTP transfer does not depend
// on ARP resolution while the switch reboots or answers slowly.
//
// The routines talk to the kernel over a short-lived NETLINK_ROUTE socket
// and wait at most one second for its acknowledgement. They are
// thread-safe and change only the neighbour table of the calling process's
// network namespace.
#pragma once

#include <cstdint>

namespace torvane {

// Creates or replaces the neighbour entry of ip (network order) on the
// interface ifindex as a permanent (static) entry pointing at mac.
// Returns 0, or the errno reported by the kernel or by the socket calls.
int SetStaticArpEntry(uint32_t ifindex, uint32_t ip, const uint8_t mac[6]);

// Deletes the neighbour entry of ip on ifindex, whatever its state.
// Returns 0, ENOENT when there was none, or another errno.
int DeleteArpEntry(uint32_t ifindex, uint32_t ip);

}  // namespace torvane
