// Monitoring of watched switches and the trap list.
//
// The monitor list holds the switches the client watches, keyed by IPv4
// address, under its own mutex. The poll thread sends each a monitor poll
// once per polling interval; MonitorProcess marks a switch as heard from
// when a fresh reply comes from it. Traps become trap records that the
// client takes with TakeTrapRecords.
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

// Adds an entry for rec (alive, never polled). Returns 1, or 0 when an
// entry with the same agentIpAddr exists.
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

// The trap handler installed in the reply dispatcher's trap slot.
int TrapCallback(const uint8_t* data, size_t length, void* context);

// Moves every trap record, in arrival order, into out and empties the
// trap list. Returns 1.
int TakeTrapRecords(std::vector<TrapRecord>* out);

}  // namespace torvane
