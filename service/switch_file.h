// Switch configuration files (*.cfg): the watched switches, one 628-byte
// record each, with nothing before, between or after them. A record is the
// agent record as held in memory (620 bytes, little-endian numbers,
// addresses in network order, zero padding) followed by the monitor
// entry's isAlive and recvFlag as little-endian i32.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/agent_record.h"

namespace torvane {

constexpr size_t kSwitchRecordSize = 628;

// Fills out[628] from the record and the two flags.
void EncodeSwitchRecord(const AgentRecord& agent, int32_t isAlive, int32_t recvFlag,
                        uint8_t* out);

// Reads a 628-byte record.
void DecodeSwitchRecord(const uint8_t* in, AgentRecord* agent, int32_t* isAlive,
                        int32_t* recvFlag);

}  // namespace torvane
