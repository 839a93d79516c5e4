// Monitoring of watched switches and the trap list.
//
// The monitor list holds the switches the client watches, keyed by IPv4
// address, under its own mutex. The poll thread sends each a monitor poll
// once per polling interval; MonitorProcess marks a switch as heard from
// when a fresh reply comes from it. Traps become trap records that the
// client takes with TakeTrapRecords; the trap list keeps the newest
// kTrapListLimit of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/agent_record.h"

namespace torvane {

struct ReceivedPacket;

// What GetMonitorNode copies out of one entry.
struct MonitorNodeCopy {
  AgentRecord agent;
  int32_t isAlive;
  int32_t recvFlag;
};

struct TrapRecord {
  char time[20];
  char ip[20];
  char location[21];
  char string[256];
};

// Trap records the trap list keeps while no client takes them (about 3 MB).
// When it is full, each new trap pushes out the oldest; the trap counter
// still counts every trap, and the drops are reported as "traps" on
// standard output at most once a minute (engine/drop_report.h). The
// environment variable TORVANE_TEST_TRAP_LIMIT can lower it for tests.
constexpr size_t kTrapListLimit = 10000;

// The limit in force; SetTrapListLimit changes it (tests).
size_t TrapListLimit();
void SetTrapListLimit(size_t limit);

// Traps pushed out of the full trap list since the process started.
uint64_t DroppedTrapCount();

// Adds an entry for rec (alive, never polled). Returns 1, or 0 when an
// entry with the same agentIpAddr exists or memory is short.
int AddMonitorNode(const AgentRecord& rec);

// Removes the first entry whose agentIpAddr is ip (4 bytes, network order).
// Returns 1.
int DelMonitorNode(const uint8_t ip[4]);

// Unlinks and frees every entry. Returns 1.
int ClearMonitorList();

// Copies the entry at position (0 is the oldest). Returns 1, or 0 when the
// list has no entry there.
int GetMonitorNode(int position, MonitorNodeCopy* out);

// The monitor update for one received reply. Returns 0 when the magic
// cookie is wrong, else 1.
int MonitorProcess(const ReceivedPacket& packet);

// The trap handler installed in the reply dispatcher's trap slot (context
// unused). Turns a trap of type 9 (address at bytes 40..43, then a text)
// or 16 (agent TLVs) into a trap record stamped with the local time,
// appends it to the trap list (dropping the oldest record when the list
// is full), prints "receive trap number : %d \n" and pushes "trap". A type-9 text longer than 255 bytes, or without its NUL
// inside the datagram, is cut to 255 bytes. A datagram shorter than the
// header, or of another type, records nothing. Returns 1.
int TrapCallback(const uint8_t* data, size_t length, void* context);

// Moves every trap record, in arrival order, into out and empties the
// trap list. Returns 1.
int TakeTrapRecords(std::vector<TrapRecord>* out);

// --- The poll thread, one pass at a time ------------------------------------

// Sends a datagram to one IPv4 address (network order); SendUnicast in the
// engine.
using MonitorPollSender = int (*)(const uint8_t* data, size_t len, uint32_t dest);

// Writes the monitor poll into buf (kHeaderSize bytes): the header with
// message type 5, MAC and sequence number 0, no body. Returns its length.
size_t BuildMonitorPoll(uint8_t* buf);

// One pass of the poll thread at tick now: every entry whose last poll is
// at least one polling interval old has its verdict updated and is sent
// poll (len bytes) with send; its lastPollTick becomes now. Takes the
// monitor list mutex for the whole pass, so send runs under it. Returns the
// number of entries polled.
int MonitorPollPass(uint32_t now, const uint8_t* poll, size_t len, MonitorPollSender send);

// Module entry points of the "monitor poll" engine module: Start installs
// MonitorProcess as the monitor update and runs the poll thread; Stop
// empties the monitor list.
void StartMonitorPoll();
void StopMonitorPoll();

}  // namespace torvane
