// Tests of the device protocol header, TLV builders, sequence counter and
// agent TLV parse, on byte vectors.
//
// Datagrams under parse are heap vectors of exactly their length, so that a
// read past the end is caught by AddressSanitizer or valgrind.

#include "engine/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/settings.h"

namespace torvane {
namespace {

using Bytes = std::vector<uint8_t>;

// A received datagram: 40-byte header of the given type, then TLVs.
struct Datagram {
  Bytes b;
  explicit Datagram(uint16_t type = kMsgDiscoveryReply) : b(kHeaderSize, 0) {
    PutBe16(&b[kOffVersion], 2);
    PutBe16(&b[kOffType], type);
  }
  // A TLV whose length field is given explicitly (it need not match).
  Datagram& Raw(uint16_t type, uint16_t lengthField, const Bytes& value) {
    b.push_back(type >> 8);
    b.push_back(type & 0xFF);
    b.push_back(lengthField >> 8);
    b.push_back(lengthField & 0xFF);
    b.insert(b.end(), value.begin(), value.end());
    return *this;
  }
  Datagram& Tlv(uint16_t type, const Bytes& value) {
    return Raw(type, static_cast<uint16_t>(value.size() + 4), value);
  }
  Datagram& Str(uint16_t type, const std::string& s) { return Tlv(type, Bytes(s.begin(), s.end())); }
};

AgentRecord Parse(const Bytes& d) {
  AgentRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  Bytes exact(d);  // exactly d.size() bytes on the heap
  EXPECT_EQ(1, ParseAgentTlvs(exact.data(), exact.size(), &rec));
  return rec;
}

void AppendTlv(Bytes* out, uint16_t type, const Bytes& value) {
  const size_t len = value.size() + 4;
  out->push_back(type >> 8);
  out->push_back(type & 0xFF);
  out->push_back(len >> 8);
  out->push_back(len & 0xFF);
  out->insert(out->end(), value.begin(), value.end());
}

Bytes Str(const char* s) { return Bytes(s, s + std::strlen(s)); }

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings().magicCookie = 0x0A0B0C0D; }
};

// ---- Header and sequence counter ------------------------------------------

TEST_F(ProtocolTest, DiscoveryRequestHeader) {
  uint8_t buf[kMaxDatagram];
  std::memset(buf, 0xEE, sizeof(buf));
  ASSERT_EQ(40u, BuildHeader(buf, kMsgDiscoveryRequest));
  const uint16_t seq = 0x1234;
  PutBe16(buf + kOffSequence, seq);
  const Bytes expected = {0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0x00, 0x01, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0,
                          0, 0, 0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0,
                          0, 0, 0, 0};
  EXPECT_EQ(expected, Bytes(buf, buf + 40));
  EXPECT_EQ(0xEE, buf[40]) << "header builder wrote past the header";
  EXPECT_EQ(0u, BuildHeader(nullptr, kMsgDiscoveryRequest));

  Settings().magicCookie = 0xFFFFFFFE;
  BuildHeader(buf, kMsgSetRequest);
  EXPECT_EQ(Bytes({0xFF, 0xFF, 0xFF, 0xFE}), Bytes(buf + 16, buf + 20));
  EXPECT_EQ(Bytes({0x00, 0x03}), Bytes(buf + 12, buf + 14));
}

TEST(SequenceTest, WrapsTo1AndIsUniqueAcrossThreads) {
  // Four threads share one counter: no number is handed out twice and none
  // is 0 while fewer than 65535 numbers are taken.
  constexpr int kPerThread = 10000;
  std::vector<std::vector<uint16_t>> got(4);
  std::vector<std::thread> threads;
  for (auto& v : got) {
    threads.emplace_back([&v] {
      for (int i = 0; i < kPerThread; ++i) v.push_back(TakeSequenceNumber());
    });
  }
  for (auto& t : threads) t.join();
  std::set<uint16_t> all;
  for (const auto& v : got) all.insert(v.begin(), v.end());
  EXPECT_EQ(4u * kPerThread, all.size());
  EXPECT_EQ(0u, all.count(0));

  // Run up to 65535; the next numbers are 1 and 2.
  uint16_t n = TakeSequenceNumber();
  for (int i = 0; i < 70000 && n != 65535; ++i) {
    ASSERT_NE(0, n);
    n = TakeSequenceNumber();
  }
  ASSERT_EQ(65535, n);
  EXPECT_EQ(1, TakeSequenceNumber());
  EXPECT_EQ(2, TakeSequenceNumber());
}

// ---- Parse: header and defaults -------------------------------------------

TEST_F(ProtocolTest, ParseHeaderFieldsAndDefaultModes) {
  Datagram d(kMsgSetReply);
  PutBe16(&d.b[kOffVersion], 0x0102);
  PutBe16(&d.b[kOffFamily], 0x0304);
  const uint8_t mac[6] = {0x02, 0xAB, 0xCD, 0x00, 0x00, 0x01};
  std::memcpy(&d.b[kOffMac], mac, 6);
  PutBe16(&d.b[kOffInterfaceVer], 4);
  d.Str(2, "sw");

  AgentRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.isLoaderMode = 1;
  rec.httpPort = 8080;  // not in the reply: keeps what the record held
  ASSERT_EQ(1, ParseAgentTlvs(d.b.data(), d.b.size(), &rec));
  EXPECT_EQ(0x0102, rec.agentProtoVer);
  EXPECT_EQ(0x0304, rec.agentFamilyType);
  EXPECT_EQ(4, rec.agentInterfaceVer);
  EXPECT_EQ(0, std::memcmp(rec.macAddr, mac, 6));
  EXPECT_EQ(0u, rec.isLoaderMode);
  EXPECT_EQ(2, rec.dhcpMode);
  EXPECT_EQ(2, rec.lldpMode);
  EXPECT_EQ(2, rec.snmpMode);
  EXPECT_EQ(8080, rec.httpPort);
  EXPECT_STREQ("sw", rec.systemName);

  EXPECT_EQ(1u, Parse(Datagram(kMsgLoaderDiscoveryReply).b).isLoaderMode);
  EXPECT_EQ(1u, Parse(Datagram(kMsgLoaderSetReply).b).isLoaderMode);
  EXPECT_EQ(0u, Parse(Datagram(kMsgSetReply2).b).isLoaderMode);
  EXPECT_EQ(0, ParseAgentTlvs(nullptr, 40, &rec));
  EXPECT_EQ(0, ParseAgentTlvs(d.b.data(), d.b.size(), nullptr));
}

TEST_F(ProtocolTest, ShortDatagramYieldsOnlyTheHeaderFieldsItHolds) {
  Datagram d(kMsgLoaderDiscoveryReply);
  d.b[kOffMac] = 0x77;
  PutBe16(&d.b[kOffInterfaceVer], 9);
  d.Str(2, "name");

  // 39 bytes: every header field up to the type, but no TLVs.
  AgentRecord r = Parse(Bytes(d.b.begin(), d.b.begin() + 39));
  EXPECT_EQ(2, r.agentProtoVer);
  EXPECT_EQ(0x77, r.macAddr[0]);
  EXPECT_EQ(9, r.agentInterfaceVer);
  EXPECT_EQ(1u, r.isLoaderMode);
  EXPECT_EQ(2, r.dhcpMode);
  EXPECT_STREQ("", r.systemName);

  // 8 bytes: version and family only; the MAC is not half-read.
  r = Parse(Bytes(d.b.begin(), d.b.begin() + 8));
  EXPECT_EQ(2, r.agentProtoVer);
  EXPECT_EQ(0, r.macAddr[0]);
  EXPECT_EQ(0, r.agentInterfaceVer);
  EXPECT_EQ(0u, r.isLoaderMode);
  EXPECT_EQ(2, r.snmpMode);

  for (size_t n = 1; n < 44; ++n) Parse(Bytes(d.b.begin(), d.b.begin() + n));
}

// ---- Parse: TLV values ----------------------------------------------------

TEST_F(ProtocolTest, ParseEveryTlvType) {
  Datagram d;
  d.Str(1, "GS108 v2   ")
      .Str(2, "core")
      .Str(3, "rack 4")
      .Tlv(4, {192, 168, 0, 239})
      .Tlv(5, {255, 255, 255, 0})
      .Tlv(6, {192, 168, 0, 1})
      .Tlv(7, {10, 0, 0, 9})
      .Str(8, "ignored")
      .Str(9, "pw")
      .Tlv(10, {0x00, 0x01})
      .Str(11, "V1.0.0.3")
      .Tlv(12, {0x01, 0x02})
      .Tlv(21, {0x1F, 0x90})
      .Tlv(22, {0x00, 0x01, 0x02, 0x03})
      .Tlv(24, {0x00, 0x00})
      .Str(25, "key")
      .Tlv(26, {0x00, 0x01})
      .Tlv(27, {0, 0, 0x01, 0x00})
      .Tlv(28, {0, 0x01, 0, 0})
      .Tlv(29, {0x80, 0, 0, 0x01})
      .Tlv(99, {1, 2, 3})
      .Str(30, "first")
      .Tlv(129, {0x00, 0x00, 0x03, 0xFF, 0, 0, 0, 1, 0, 0, 0, 2, 0xFF, 0, 0, 3});
  const AgentRecord r = Parse(d.b);
  EXPECT_STREQ("GS108 v2", r.productName);
  EXPECT_STREQ("core", r.systemName);
  EXPECT_STREQ("rack 4", r.location);
  EXPECT_EQ(Bytes({192, 168, 0, 239}), Bytes(r.agentIpAddr, r.agentIpAddr + 4));
  EXPECT_EQ(Bytes({255, 255, 255, 0}), Bytes(r.agentNetmask, r.agentNetmask + 4));
  EXPECT_EQ(Bytes({192, 168, 0, 1}), Bytes(r.agentGateway, r.agentGateway + 4));
  EXPECT_EQ(Bytes({10, 0, 0, 9}), Bytes(r.trapIpAddr, r.trapIpAddr + 4));
  EXPECT_STREQ("", r.newPasseord);
  EXPECT_STREQ("pw", r.oldPassword);
  EXPECT_EQ(1, r.dhcpMode);
  EXPECT_STREQ("V1.0.0.3", r.fwVersion);
  EXPECT_EQ(0x0102, r.productType);
  EXPECT_EQ(8080, r.httpPort);
  EXPECT_EQ(0x00010203u, r.groupTimer);
  EXPECT_EQ(0, r.lldpMode);
  EXPECT_STREQ("key", r.lldpAuthenkey);
  EXPECT_EQ(1, r.snmpMode);
  EXPECT_EQ(256u, r.upgradeDelayTime);
  EXPECT_EQ(65536u, r.upgradeRebootTime);
  EXPECT_EQ(0x80000001u, r.upgradeEreaseFlashTime);
  EXPECT_STREQ("first", r.errString);
  EXPECT_EQ(0x3FFu, r.funBitmap[0]);
  EXPECT_EQ(1u, r.funBitmap[1]);
  EXPECT_EQ(2u, r.funBitmap[2]);
  EXPECT_EQ(0xFF000003u, r.funBitmap[3]);
}

TEST_F(ProtocolTest, ProductNameLosesOnlyTrailingBlanks) {
  EXPECT_STREQ("A B", Parse(Datagram().Str(1, "A B   ").b).productName);
  EXPECT_STREQ("", Parse(Datagram().Str(1, "    ").b).productName);
  // Other texts keep their blanks.
  EXPECT_STREQ("loc  ", Parse(Datagram().Str(3, "loc  ").b).location);
}

TEST_F(ProtocolTest, FixedSizeTypesIgnoreTheirLengthField) {
  // TLV 12 claims 8 bytes but is 6: the next TLV starts 6 bytes after it.
  AgentRecord r = Parse(Datagram().Raw(12, 8, {0x00, 0x05}).Tlv(21, {0x00, 0x50}).b);
  EXPECT_EQ(5, r.productType);
  EXPECT_EQ(80, r.httpPort);

  // The same TLV at the very end, with just its 6 bytes left, still counts.
  r = Parse(Datagram().Raw(12, 8, {0x00, 0x07}).b);
  EXPECT_EQ(7, r.productType);

  // TLV 4 claims 12 bytes; it is 8 and TLV 2 follows.
  r = Parse(Datagram().Raw(4, 12, {1, 2, 3, 4}).Str(2, "x").b);
  EXPECT_EQ(Bytes({1, 2, 3, 4}), Bytes(r.agentIpAddr, r.agentIpAddr + 4));
  EXPECT_STREQ("x", r.systemName);

  // TLV 129 claims 4 bytes; it is 20.
  r = Parse(Datagram().Raw(129, 4, Bytes(16, 0x11)).Tlv(26, {0, 1}).b);
  EXPECT_EQ(0x11111111u, r.funBitmap[3]);
  EXPECT_EQ(1, r.snmpMode);
}

TEST_F(ProtocolTest, DhcpModeWidthFollowsTheLength) {
  EXPECT_EQ(1, Parse(Datagram().Tlv(10, {0x01}).b).dhcpMode);
  EXPECT_EQ(0x0103, Parse(Datagram().Tlv(10, {0x01, 0x03}).b).dhcpMode);
  // An empty value carries no mode: the default stays and nothing past the
  // TLV is read as the mode.
  AgentRecord r = Parse(Datagram().Tlv(10, {}).Tlv(12, {0, 9}).b);
  EXPECT_EQ(2, r.dhcpMode);
  EXPECT_EQ(9, r.productType);
  // Group timer too short for its u32: skipped by its length.
  r = Parse(Datagram().Tlv(22, {0xAA, 0xBB}).Tlv(12, {0, 9}).b);
  EXPECT_EQ(0u, r.groupTimer);
  EXPECT_EQ(9, r.productType);
}

TEST_F(ProtocolTest, ErrorTextJoinsTypes30And31) {
  AgentRecord r = Parse(Datagram().Str(30, std::string(128, 'a')).Str(31, "tail").b);
  EXPECT_EQ(std::string(128, 'a') + "tail", std::string(r.errString));

  // 31 alone lands at the 129th byte.
  r = Parse(Datagram().Str(31, "late").b);
  EXPECT_STREQ("late", r.errString + 128);
  EXPECT_EQ('\0', r.errString[0]);
}

TEST_F(ProtocolTest, LongTextsAreCutToTheirField) {
  AgentRecord r = Parse(Datagram()
                            .Str(2, std::string(30, 's'))
                            .Str(3, "here")
                            .Str(11, std::string(40, 'f'))
                            .Str(30, std::string(500, 'e'))
                            .b);
  EXPECT_EQ(std::string(20, 's'), std::string(r.systemName));
  EXPECT_STREQ("here", r.location);  // the cut did not spill into it
  EXPECT_EQ(std::string(9, 'f'), std::string(r.fwVersion));
  EXPECT_EQ(std::string(383, 'e'), std::string(r.errString));

  // A long 31 fills the error text to its end and no further.
  AgentRecord guard[2];
  std::memset(guard, 0x5A, sizeof(guard));
  std::memset(&guard[0], 0, sizeof(AgentRecord));
  const Datagram d = Datagram().Str(31, std::string(300, 't'));
  ASSERT_EQ(1, ParseAgentTlvs(d.b.data(), d.b.size(), &guard[0]));
  EXPECT_EQ(std::string(255, 't'), std::string(guard[0].errString + 128));
  EXPECT_EQ(0, guard[0].macAddr[0]);
  EXPECT_EQ(0x5A, reinterpret_cast<uint8_t*>(&guard[1])[0]);
}

// ---- Parse: malformed input -----------------------------------------------

TEST_F(ProtocolTest, MalformedTlvsEndTheWalk) {
  // Length field 0 ends the parse; what came before stays.
  AgentRecord r = Parse(Datagram().Str(2, "kept").Raw(3, 0, {}).Str(11, "lost").b);
  EXPECT_STREQ("kept", r.systemName);
  EXPECT_STREQ("", r.fwVersion);

  // Length field 3 likewise, even for a fixed-size type.
  r = Parse(Datagram().Raw(12, 3, {0, 5}).Str(2, "lost").b);
  EXPECT_EQ(0, r.productType);
  EXPECT_STREQ("", r.systemName);

  // A string claiming 0xFFFF bytes in a short datagram.
  r = Parse(Datagram().Str(11, "v1").Raw(2, 0xFFFF, Str("abc")).b);
  EXPECT_STREQ("v1", r.fwVersion);
  EXPECT_STREQ("", r.systemName);

  // Fixed-size types cut short by the end of the datagram.
  r = Parse(Datagram().Raw(4, 6, {1, 2}).b);
  EXPECT_EQ(0, r.agentIpAddr[0]);
  r = Parse(Datagram().Raw(27, 4, {}).b);
  EXPECT_EQ(0u, r.upgradeDelayTime);
  r = Parse(Datagram().Raw(129, 20, Bytes(12, 0xFF)).b);
  EXPECT_EQ(0u, r.funBitmap[0]);
  r = Parse(Datagram().Raw(24, 6, {0}).b);
  EXPECT_EQ(2, r.lldpMode);

  // One to three stray bytes after the last TLV.
  for (int extra = 1; extra <= 3; ++extra) {
    Datagram d;
    d.Str(2, "ok");
    d.b.insert(d.b.end(), extra, 0x00);
    EXPECT_STREQ("ok", Parse(d.b).systemName);
  }
}

TEST_F(ProtocolTest, RandomDatagramsStayInBounds) {
  // Run under AddressSanitizer or valgrind: each datagram is exactly its
  // length on the heap and any stray read or write is reported.
  std::mt19937 rng(12345);
  const uint16_t kTypes[] = {1, 2, 3, 4, 7, 9, 10, 11, 12, 21, 22, 24, 25, 26, 27, 29, 30, 31, 129, 200};
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes d(1 + rng() % 200);
    for (auto& c : d) c = rng() & 0xFF;
    // Bias towards plausible TLVs.
    for (size_t off = kHeaderSize; off + 4 <= d.size(); off += 4 + rng() % 24) {
      PutBe16(&d[off], kTypes[rng() % (sizeof(kTypes) / sizeof(kTypes[0]))]);
      PutBe16(&d[off + 2], static_cast<uint16_t>(rng() % 2 ? rng() % 40 : rng()));
    }
    const AgentRecord r = Parse(d);
    ASSERT_LT(strnlen(r.productName, sizeof(r.productName)), sizeof(r.productName));
    ASSERT_LT(strnlen(r.systemName, sizeof(r.systemName)), sizeof(r.systemName));
    ASSERT_LT(strnlen(r.location, sizeof(r.location)), sizeof(r.location));
    ASSERT_LT(strnlen(r.oldPassword, sizeof(r.oldPassword)), sizeof(r.oldPassword));
    ASSERT_LT(strnlen(r.fwVersion, sizeof(r.fwVersion)), sizeof(r.fwVersion));
    ASSERT_LT(strnlen(r.lldpAuthenkey, sizeof(r.lldpAuthenkey)), sizeof(r.lldpAuthenkey));
    ASSERT_LT(strnlen(r.errString + 128, 256), 256u);
  }
}

// ---- Set body and password TLVs ---------------------------------------------

AgentRecord FullRecord() {
  AgentRecord r;
  std::memset(&r, 0, sizeof(r));
  std::strcpy(r.productName, "GS108");
  std::strcpy(r.systemName, "core");
  std::strcpy(r.location, "lab");
  const uint8_t ip[4] = {192, 168, 1, 20}, mask[4] = {255, 255, 0, 0},
                gw[4] = {192, 168, 1, 1}, trap[4] = {10, 1, 2, 3};
  std::memcpy(r.agentIpAddr, ip, 4);
  std::memcpy(r.agentNetmask, mask, 4);
  std::memcpy(r.agentGateway, gw, 4);
  std::memcpy(r.trapIpAddr, trap, 4);
  std::strcpy(r.newPasseord, "new");
  std::strcpy(r.oldPassword, "old");
  r.dhcpMode = 1;
  std::strcpy(r.fwVersion, "V9");
  r.productType = 7;
  r.httpPort = 80;
  r.groupTimer = 0x01020304;
  r.lldpMode = 1;
  std::strcpy(r.lldpAuthenkey, "lk");
  r.snmpMode = 0;
  r.agentInterfaceVer = 2;
  r.upgradeDelayTime = 0x11;
  r.upgradeRebootTime = 0x2233;
  r.upgradeEreaseFlashTime = 0x445566;
  r.funBitmap[0] = 0xFFFFFFFF;
  return r;
}

Bytes SetBody(const AgentRecord& r, bool zero) {
  uint8_t buf[kMaxDatagram];
  std::memset(buf, 0xEE, sizeof(buf));
  const size_t n = BuildSetBody(buf, r, zero);
  EXPECT_LE(n, kMaxDatagram - kHeaderSize);
  for (size_t i = 0; i < kHeaderSize; ++i) EXPECT_EQ(0xEE, buf[i]) << "header byte " << i;
  EXPECT_EQ(0xEE, buf[kHeaderSize + n]) << "wrote past the returned length";
  return Bytes(buf + kHeaderSize, buf + kHeaderSize + n);
}

TEST_F(ProtocolTest, SetBodyWithEveryBitSet) {
  Bytes want;
  AppendTlv(&want, 9, Str("old"));
  AppendTlv(&want, 1, Str("GS108"));
  AppendTlv(&want, 2, Str("core"));
  AppendTlv(&want, 3, Str("lab"));
  AppendTlv(&want, 4, {192, 168, 1, 20});
  AppendTlv(&want, 5, {255, 255, 0, 0});
  AppendTlv(&want, 6, {192, 168, 1, 1});
  AppendTlv(&want, 7, {10, 1, 2, 3});
  AppendTlv(&want, 8, Str("new"));
  AppendTlv(&want, 10, {0x00, 0x01});
  AppendTlv(&want, 24, {0x00, 0x01});
  AppendTlv(&want, 26, {0x00, 0x00});
  AppendTlv(&want, 22, {0x01, 0x02, 0x03, 0x04});
  AppendTlv(&want, 25, Str("lk"));
  AppendTlv(&want, 27, {0, 0, 0, 0x11});
  AppendTlv(&want, 28, {0, 0, 0x22, 0x33});
  AppendTlv(&want, 29, {0, 0x44, 0x55, 0x66});
  EXPECT_EQ(want, SetBody(FullRecord(), false));

  // The zero-address mode zeroes 4, 5 and 6 but keeps the trap address.
  Bytes zero = want;
  const size_t ipAt = 7 + 9 + 8 + 7;  // after TLVs 9, 1, 2 and 3
  for (int t = 0; t < 3; ++t) {
    for (int i = 0; i < 4; ++i) zero[ipAt + 8 * t + 4 + i] = 0;
  }
  EXPECT_EQ(zero, SetBody(FullRecord(), true));
}

TEST_F(ProtocolTest, SetBodyConditions) {
  AgentRecord r = FullRecord();
  r.funBitmap[0] = 0;
  EXPECT_TRUE(SetBody(r, false).empty());

  // Each bit alone sends exactly its TLV.
  struct Case { int bit; uint16_t type; size_t len; } cases[] = {
      {0, 1, 9}, {1, 2, 8}, {2, 3, 7}, {3, 4, 8}, {4, 5, 8}, {5, 6, 8}, {6, 7, 8},
      {7, 8, 7}, {8, 9, 7}, {9, 10, 6}, {21, 22, 8}, {23, 24, 6}, {24, 25, 6},
      {25, 26, 6}, {26, 27, 8}, {27, 28, 8}, {30, 29, 8}};
  for (const Case& c : cases) {
    r.funBitmap[0] = 1u << c.bit;
    const Bytes b = SetBody(r, false);
    ASSERT_EQ(c.len, b.size()) << "bit " << c.bit;
    EXPECT_EQ(c.type, GetBe16(&b[0])) << "bit " << c.bit;
    EXPECT_EQ(c.len, GetBe16(&b[2])) << "bit " << c.bit;
  }
  // Bits that name no TLV send nothing.
  r.funBitmap[0] = ~0x4FA003FFu;  // all but bits 0..9, 21, 23..27, 30
  EXPECT_TRUE(SetBody(r, false).empty());

  // DHCP mode 3, LLDP mode 3, SNMP mode 3, group timer all-ones and an
  // empty new password are not sent.
  r = FullRecord();
  r.funBitmap[0] = 0x2A00280;  // bits 7, 9, 21, 23, 25
  r.dhcpMode = 3;
  r.lldpMode = 3;
  r.snmpMode = 3;
  r.groupTimer = 0xFFFFFFFF;
  r.newPasseord[0] = '\0';
  EXPECT_TRUE(SetBody(r, false).empty());

  // Interface version 1 takes the DHCP mode as one byte.
  r = FullRecord();
  r.funBitmap[0] = 1u << 9;
  r.agentInterfaceVer = 1;
  EXPECT_EQ(Bytes({0x00, 0x0A, 0x00, 0x05, 0x01}), SetBody(r, false));
}

TEST_F(ProtocolTest, SetBodyReadsUnterminatedFieldsToTheirWidthOnly) {
  AgentRecord r = FullRecord();
  std::memset(r.productName, 'p', sizeof(r.productName));
  std::memset(r.systemName, 's', sizeof(r.systemName));
  std::memset(r.location, 'l', sizeof(r.location));
  std::memset(r.newPasseord, 'n', sizeof(r.newPasseord));
  std::memset(r.oldPassword, 'o', sizeof(r.oldPassword));
  std::memset(r.lldpAuthenkey, 'k', sizeof(r.lldpAuthenkey));
  r.funBitmap[0] = 0x1000187;  // bits 0, 1, 2, 7, 8, 24
  Bytes want;
  AppendTlv(&want, 9, Bytes(21, 'o'));
  AppendTlv(&want, 1, Bytes(41, 'p'));
  AppendTlv(&want, 2, Bytes(21, 's'));
  AppendTlv(&want, 3, Bytes(22, 'l'));
  AppendTlv(&want, 8, Bytes(21, 'n'));
  AppendTlv(&want, 25, Bytes(22, 'k'));
  EXPECT_EQ(want, SetBody(r, false));
}

TEST_F(ProtocolTest, PasswordTlvs) {
  uint8_t buf[kMaxDatagram];
  std::memset(buf, 0xEE, sizeof(buf));
  ASSERT_EQ(8u, BuildPasswordTlvs(buf, "", ""));
  EXPECT_EQ(Bytes({0x00, 0x09, 0x00, 0x04, 0x00, 0x08, 0x00, 0x04}), Bytes(buf + 40, buf + 48));
  EXPECT_EQ(0xEE, buf[39]);
  EXPECT_EQ(0xEE, buf[48]);

  Bytes want;
  AppendTlv(&want, 9, Str("admin"));
  AppendTlv(&want, 8, Str("s3cret"));
  ASSERT_EQ(want.size(), BuildPasswordTlvs(buf, "admin", "s3cret"));
  EXPECT_EQ(want, Bytes(buf + 40, buf + 40 + want.size()));

  EXPECT_EQ(8u, BuildPasswordTlvs(buf, nullptr, nullptr));
  EXPECT_EQ(0u, BuildPasswordTlvs(nullptr, "a", "b"));

  // Record fields without a terminator: 21 bytes each, no more.
  AgentRecord r = FullRecord();
  std::memset(r.newPasseord, 'n', sizeof(r.newPasseord));
  std::memset(r.oldPassword, 'o', sizeof(r.oldPassword));
  want.clear();
  AppendTlv(&want, 9, Bytes(21, 'o'));
  AppendTlv(&want, 8, Bytes(21, 'n'));
  ASSERT_EQ(want.size(), BuildPasswordTlvs(buf, r.oldPassword, r.newPasseord));
  EXPECT_EQ(want, Bytes(buf + 40, buf + 40 + want.size()));
}

TEST(PutTlvTest, RefusesWhatDoesNotFit) {
  uint8_t buf[16];
  std::memset(buf, 0xEE, sizeof(buf));
  EXPECT_EQ(7u, PutTlv(buf, sizeof(buf), 9, 9, "abc", 3));  // ends exactly at 16
  EXPECT_EQ(Bytes({0, 9, 0, 7, 'a', 'b', 'c'}), Bytes(buf + 9, buf + 16));
  EXPECT_EQ(0u, PutTlv(buf, sizeof(buf), 10, 9, "abc", 3));
  EXPECT_EQ(0u, PutTlv(buf, sizeof(buf), 17, 9, nullptr, 0));
  EXPECT_EQ(4u, PutTlv(buf, sizeof(buf), 0, 8, nullptr, 0));
  EXPECT_EQ(0xEE, buf[4]);
  // The length field cannot express more than 0xFFFF.
  static uint8_t big[70000];
  static uint8_t value[70000];
  EXPECT_EQ(0u, PutTlv(big, sizeof(big), 0, 1, value, 0xFFFF - 3));
  EXPECT_EQ(0xFFFFu, PutTlv(big, sizeof(big), 0, 1, value, 0xFFFF - 4));
}

}  // namespace
}  // namespace torvane
