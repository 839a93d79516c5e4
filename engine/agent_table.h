// The agent table: the switches found by discovery, in order of arrival.
//
// Every routine takes the agent table mutex for its whole work and releases
// it before returning. Lock order: a caller may hold the request tracker
// mutex or the operation list mutex when it calls these (discovery reply,
// set reply); never the other way round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/agent_record.h"

namespace torvane {

// Records the table holds (about 10 MB). A discovery cycle adds one per
// answering MAC, so only forged replies with ever new MACs can reach it;
// then the first records stay and later ones are dropped and reported as
// "discovery replies" (engine/drop_report.h). It also bounds the MACs a
// cycle remembers. TORVANE_TEST_AGENT_LIMIT can lower it for tests.
constexpr size_t kAgentTableLimit = 16384;

// The limit in force; SetAgentTableLimit changes it (tests).
size_t AgentTableLimit();
void SetAgentTableLimit(size_t limit);

// Records refused because the table was full, since the process started.
uint64_t DroppedAgentRecordCount();

// Empties the table.
void ClearAgentTable();

// Appends a copy of rec at the end. Returns 1, or 0 when the table is full
// (the record is dropped and counted).
int AppendAgentRecord(const AgentRecord& rec);

// Replaces the first record whose macAddr equals rec.macAddr; returns 1, or
// 0 when no record has that MAC.
int ReplaceAgentRecord(const AgentRecord& rec);

// Every record, in table order.
std::vector<AgentRecord> CopyAgentTable();

}  // namespace torvane
