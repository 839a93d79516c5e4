#include "service/switch_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace torvane {
namespace {

TEST(SwitchFileTest, RecordLayoutMatchesTheFileFormat) {
  AgentRecord a;
  memset(&a, 0xEE, sizeof(a));  // garbage in the padding must not reach the file
  memset(a.productName, 0, sizeof(a.productName));
  strcpy(a.productName, "GS-108");
  const uint8_t ip[4] = {192, 168, 0, 1};
  memcpy(a.agentIpAddr, ip, 4);
  a.dhcpMode = 0x0102;
  a.httpPort = 0x1F90;
  a.groupTimer = 0x11223344;
  a.funBitmap[0] = 0x20000001;
  const uint8_t mac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  memcpy(a.macAddr, mac, 6);
  a.isLoaderMode = 1;

  uint8_t rec[kSwitchRecordSize];
  EncodeSwitchRecord(a, 0, -1, rec);
  EXPECT_EQ(0, memcmp(rec, "GS-108\0", 7));
  EXPECT_EQ(0, memcmp(rec + 84, ip, 4));           // network order
  EXPECT_EQ(0x02, rec[142]); EXPECT_EQ(0x01, rec[143]);  // little-endian u16
  EXPECT_EQ(0x90, rec[156]); EXPECT_EQ(0x1F, rec[157]);
  EXPECT_EQ(0, rec[158]); EXPECT_EQ(0, rec[159]);  // padding
  EXPECT_EQ(0x44, rec[160]); EXPECT_EQ(0x11, rec[163]);
  EXPECT_EQ(0x01, rec[208]); EXPECT_EQ(0x20, rec[211]);
  EXPECT_EQ(0, memcmp(rec + 608, mac, 6));
  EXPECT_EQ(0, rec[614]); EXPECT_EQ(0, rec[615]);  // padding
  EXPECT_EQ(1, rec[616]);
  EXPECT_EQ(0, rec[620]);                          // isAlive 0
  EXPECT_EQ(0xFF, rec[624]); EXPECT_EQ(0xFF, rec[627]);  // recvFlag -1

  AgentRecord back;
  int32_t alive = 7, recv = 7;
  DecodeSwitchRecord(rec, &back, &alive, &recv);
  EXPECT_EQ(0, alive);
  EXPECT_EQ(-1, recv);
  EXPECT_STREQ("GS-108", back.productName);
  EXPECT_EQ(0x11223344u, back.groupTimer);
  EXPECT_EQ(0, memcmp(back.macAddr, mac, 6));
}

}  // namespace
}  // namespace torvane
