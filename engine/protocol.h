// Device protocol messages: the 40-byte header, TLV bodies, the sequence
// counter and the parse of a switch's TLVs into an agent record.
//
// Every routine here is bounds-checked: a malformed datagram never makes
// them read or write outside the given buffer or the record's fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/agent_record.h"

namespace torvane {

constexpr size_t kHeaderSize = 40;
constexpr size_t kMaxDatagram = 1500;

// Message types.
enum MsgType : uint16_t {
  kMsgDiscoveryRequest = 1,
  kMsgDiscoveryReply = 2,
  kMsgSetRequest = 3,
  kMsgSetReply = 4,
  kMsgMonitorPoll = 5,
  kMsgMonitorReply = 6,
  kMsgSetReply2 = 8,
  kMsgTrap = 9,
  kMsgUpgradeCommand = 10,
  kMsgUpgradeReply = 11,
  kMsgLoaderDiscoveryReply = 12,
  kMsgLoaderSetRequest = 14,
  kMsgLoaderSetReply = 15,
  kMsgAgentTrap = 16,
};

// Header field offsets.
constexpr size_t kOffVersion = 0;
constexpr size_t kOffFamily = 2;
constexpr size_t kOffMac = 4;
constexpr size_t kOffInterfaceVer = 10;
constexpr size_t kOffType = 12;
constexpr size_t kOffStatus = 14;
constexpr size_t kOffCookie = 16;
constexpr size_t kOffSenderMac = 20;
constexpr size_t kOffSequence = 26;

// Big-endian helpers over raw bytes.
inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void PutBe16(uint8_t* p, uint16_t v) { p[0] = v >> 8; p[1] = v & 0xFF; }
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = v >> 24; p[1] = (v >> 16) & 0xFF; p[2] = (v >> 8) & 0xFF; p[3] = v & 0xFF;
}

// Appends one TLV at buf[offset]: 2-byte type, 2-byte length (valueLen + 4,
// the TLV's own header included), then valueLen bytes of value (nothing is
// read from value when valueLen is 0). Returns the TLV's length, or 0 with
// nothing written when the TLV would not fit in the cap bytes of buf or its
// length would not fit the 16-bit length field.
size_t PutTlv(uint8_t* buf, size_t cap, size_t offset, uint16_t type, const void* value,
              size_t valueLen);

// Fills the 40-byte header: version 2, the message type, the configured
// cookie, everything else zero. Returns 40, or 0 when buf is null.
size_t BuildHeader(uint8_t* buf, uint16_t msgType);

// Next sequence number: 1, 2, ..., 65535, 1, ... (never 0). Thread-safe.
uint16_t TakeSequenceNumber();

// Fills rec from a received datagram of len bytes: the three modes are set
// to 2, the header fields are stored (each only when len covers it), and the
// TLVs from offset 40 are walked until one is malformed or runs past len.
// Fields without a TLV keep what rec held. Returns 1, or 0 (rec untouched)
// when data or rec is null.
int ParseAgentTlvs(const uint8_t* data, size_t len, AgentRecord* rec);

// Writes TLV 9 (current password) then TLV 8 (new password) at offset 40 of
// buf (which holds kMaxDatagram bytes), both always, an empty or null text
// as a 4-byte TLV. The texts are read up to their NUL but never beyond the
// width of the record's password fields (21 bytes). Returns the body length,
// or 0 when buf is null.
size_t BuildPasswordTlvs(uint8_t* buf, const char* oldPassword, const char* newPassword);

// Writes the set-configuration TLVs allowed by rec.funBitmap[0] at offset
// 40 of buf (kMaxDatagram bytes). zeroAddresses sends 0.0.0.0 in place of
// the IP address, netmask and gateway. Texts are sent without their NUL and
// never read beyond their field. Returns the body length, or 0 when buf is
// null.
size_t BuildSetBody(uint8_t* buf, const AgentRecord& rec, bool zeroAddresses);

}  // namespace torvane
