// The engine's in-memory form of one switch.
//
// The layout is fixed: switch configuration files store this record
// byte for byte (620 bytes, little-endian numbers, addresses in network
// order), so the field order, widths and natural alignment must not change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane {

struct AgentRecord {
  char productName[41];
  char systemName[21];
  char location[22];
  uint8_t agentIpAddr[4];    // network order, as on the wire
  uint8_t agentNetmask[4];   // network order
  uint8_t agentGateway[4];   // network order
  uint8_t trapIpAddr[4];     // network order
  char newPasseord[21];
  char oldPassword[21];
  uint16_t dhcpMode;
  char fwVersion[10];
  uint16_t productType;
  uint16_t httpPort;
  uint32_t groupTimer;
  uint16_t lldpMode;
  char lldpAuthenkey[22];
  uint16_t snmpMode;
  uint16_t agentProtoVer;
  uint16_t agentFamilyType;
  uint16_t agentInterfaceVer;
  uint32_t upgradeDelayTime;
  uint32_t upgradeRebootTime;
  uint32_t upgradeEreaseFlashTime;
  uint32_t funBitmap[4];
  char errString[384];
  uint8_t macAddr[6];
  uint32_t isLoaderMode;
};

static_assert(sizeof(AgentRecord) == 620, "agent record layout is stored in files");
static_assert(offsetof(AgentRecord, agentIpAddr) == 84, "layout");
static_assert(offsetof(AgentRecord, dhcpMode) == 142, "layout");
static_assert(offsetof(AgentRecord, groupTimer) == 160, "layout");
static_assert(offsetof(AgentRecord, funBitmap) == 208, "layout");
static_assert(offsetof(AgentRecord, errString) == 224, "layout");
static_assert(offsetof(AgentRecord, macAddr) == 608, "layout");
static_assert(offsetof(AgentRecord, isLoaderMode) == 616, "layout");

// funBitmap[0] bit 29: system name and location are UTF-8 (else Windows-1252).
constexpr uint32_t kFunBitUtf8Names = 0x20000000u;

}  // namespace torvane
