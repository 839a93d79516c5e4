// The engine's UDP sockets on Linux.
//
// The engine keeps four sockets per local IPv4 address. Switches answer by
// broadcast (and by multicast to the discovery group) to the port a request
// came from, so each socket must see the broadcasts to its port that arrive
// on its adapter. On Linux a socket bound to a unicast address never sees
// datagrams sent to 255.255.255.255 or to a group; every engine socket is
// therefore bound to INADDR_ANY:port and tied to its adapter with
// SO_BINDTOIFINDEX (SO_BINDTODEVICE on older kernels). SO_REUSEADDR lets the
// sockets of two addresses on one adapter share the port: broadcasts and
// group datagrams reach each of them, a unicast datagram reaches one.
//
// Because the bind address no longer names the local address, sends pass it
// explicitly (IP_PKTINFO ipi_spec_dst) so that every datagram leaves with
// the socket's own address as its source, and receives report the
// datagram's destination address from IP_PKTINFO.
//
// ICMP errors never close a socket: IP_RECVERR stays off, so an unconnected
// socket is not told about them, and ECONNREFUSED on receive is transient.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace torvane {

// The four socket kinds of a local address; the numbers are the kind codes
// the socket list stores.
enum SocketKind : uint32_t {
  kSocketMulticast = 0,  // bound to port P+6, member of the discovery group
  kSocketBroadcast = 1,  // bound to port P
  kSocketUnicast = 2,    // bound to port P+1
  kSocketTftp = 3,       // bound to port 64517
};

struct UdpSocketParams {
  SocketKind kind;
  uint32_t ifindex;    // the adapter the socket is tied to
  uint32_t localAddr;  // network order: the local address it stands for
  uint16_t port;       // host order
  uint32_t group;      // network order; used by kSocketMulticast only
};

// The step of OpenUdpSocket that failed.
enum class UdpOpenStep { kNone, kCreate, kOption, kBind, kMembership };

struct UdpOpenResult {
  int fd = -1;                         // -1 when the socket could not be made
  int error = 0;                       // errno of the failing step
  UdpOpenStep failedStep = UdpOpenStep::kNone;
};

// Receive buffer asked for each engine socket: a discovery may bring
// thousands of replies within a second.
constexpr int kEngineReceiveBuffer = 4 * 1024 * 1024;

// Creates a non-blocking, close-on-exec UDP socket for params: SO_BROADCAST
// for the broadcast and TFTP kinds, SO_REUSEADDR, tied to params.ifindex,
// IP_PKTINFO on, IP_MULTICAST_ALL off (only the multicast kind, which joins
// the group on its adapter, receives group datagrams), a large receive
// buffer (best effort), bound to INADDR_ANY:params.port; the multicast kind
// then joins params.group on the adapter and sends to groups through it.
// On failure the socket is closed and the result names the failing step.
UdpOpenResult OpenUdpSocket(const UdpSocketParams& params);

// Closes fd when it is >= 0.
void CloseUdpSocket(int fd);

// Sends len bytes from fd to dest:port (dest in network order, port in host
// order) with srcAddr as the source address, leaving through ifindex.
// Returns 0 when the datagram was handed to the system, else the errno
// (EAGAIN/EWOULDBLOCK when the send buffer is full; EBADF for fd -1).
int SendDatagramFrom(int fd, uint32_t srcAddr, uint32_t ifindex, uint32_t dest, uint16_t port,
                     const void* data, size_t len);

struct UdpReceiveResult {
  int error = 0;            // 0, or the errno of the receive
  size_t length = 0;        // the datagram's full length, even when it was
                            // longer than the buffer (then truncated)
  bool truncated = false;   // length > the buffer's capacity
  uint32_t destAddr = 0;    // network order; the datagram's destination
                            // address, 0 when the system did not say
  uint32_t answerAddr = 0;     // network order; the local address the system
                            // would answer from: destAddr for a unicast
                            // datagram, an address of the interface for a
                            // broadcast or group datagram
};

// Reads one datagram from fd without blocking into buf (cap bytes), the
// sender's address into *from (*fromLen in: its size, out: the length).
UdpReceiveResult ReceiveDatagram(int fd, void* buf, size_t cap, struct sockaddr_in* from,
                                 socklen_t* fromLen);

}  // namespace torvane
