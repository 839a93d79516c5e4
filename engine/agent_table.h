// The agent table: the switches found by discovery, in order of arrival.
//
// Every routine takes the agent table mutex for its whole work and releases
// it before returning. Lock order: a caller may hold the request tracker
// mutex or the operation list mutex when it calls these (discovery reply,
// set reply); never the other way round.
#pragma once

#include <vector>

#include "engine/agent_record.h"

namespace torvane {

// Empties the table.
void ClearAgentTable();

// Appends a copy of rec at the end.
void AppendAgentRecord(const AgentRecord& rec);

// Replaces the first record whose macAddr equals rec.macAddr; returns 1, or
// 0 when no record has that MAC.
int ReplaceAgentRecord(const AgentRecord& rec);

// Every record, in table order.
std::vector<AgentRecord> CopyAgentTable();

}  // namespace torvane
