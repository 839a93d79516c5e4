// IGMP membership reporting: the engine announces its membership of the
// discovery multicast group with an unsolicited IGMP version 1 membership
// report once per IGMP report interval, checked every second.
//
// The report is sent on a raw IGMP socket, once through each local IPv4
// address (leaving by that address's adapter, with the address as source),
// so that every attached segment hears it. The interval is read without a
// lock once per check; 0 stops the reports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane {

constexpr size_t kIgmpReportSize = 8;

// The Internet checksum (RFC 1071) of len bytes taken as big-endian 16-bit
// words (an odd last byte padded with zero), in host order.
uint16_t InternetChecksum(const uint8_t* data, size_t len);

// Writes the membership report for group (network order): 0x12, 0, the
// checksum over the 8 bytes, the group address. For 239.255.255.100 the
// bytes are 12 00 FE 9A EF FF FF 64.
void BuildIgmpReport(uint32_t group, uint8_t out[kIgmpReportSize]);

// Whether a check at tick now must send a report: never while intervalMs
// is 0; at once when none has been sent yet; else once now - lastTick
// (uint32_t arithmetic) has reached intervalMs.
bool IgmpReportDue(uint32_t intervalMs, bool sentBefore, uint32_t lastTick, uint32_t now);

// Sends report through every local address on fd, a raw IGMP socket,
// to group. Send errors are not reported. Returns the number of local
// addresses it was sent through (0 when there is none yet).
size_t SendIgmpReportEverywhere(int fd, const uint8_t report[kIgmpReportSize], uint32_t group);

// Module entry points of the "IGMP report" engine module: Start runs the
// report thread; Stop ends the reports (the thread lives on, idle, until
// the process exits).
void StartIgmpReport();
void StopIgmpReport();

}  // namespace torvane
