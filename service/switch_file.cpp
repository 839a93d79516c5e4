#include "service/switch_file.h"

#include <cstring>

namespace torvane {
namespace {

static_assert(sizeof(AgentRecord) == 620, "the file stores the record as is");

void PutLe32(uint8_t* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  p[0] = u & 0xFF;
  p[1] = (u >> 8) & 0xFF;
  p[2] = (u >> 16) & 0xFF;
  p[3] = u >> 24;
}

int32_t GetLe32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                              (uint32_t{p[3]} << 24));
}

}  // namespace

void EncodeSwitchRecord(const AgentRecord& agent, int32_t isAlive, int32_t recvFlag,
                        uint8_t* out) {
  // The in-memory layout is the file layout on this (little-endian)
  // machine; the padding bytes are zeroed explicitly since a copied
  // struct need not carry them.
  memcpy(out, &agent, sizeof(AgentRecord));
  memset(out + 158, 0, 2);
  memset(out + 614, 0, 2);
  PutLe32(out + 620, isAlive);
  PutLe32(out + 624, recvFlag);
}

void DecodeSwitchRecord(const uint8_t* in, AgentRecord* agent, int32_t* isAlive,
                        int32_t* recvFlag) {
  memcpy(agent, in, sizeof(AgentRecord));
  *isAlive = GetLe32(in + 620);
  *recvFlag = GetLe32(in + 624);
}

}  // namespace torvane
