// Device protocol messages: header and TLV builders, the sequence counter
// and the parse of a switch's TLVs into an agent record.

#include "engine/protocol.h"

#include <cstring>
#include <mutex>

#include "engine/settings.h"

namespace torvane {

namespace {

// TLV types of the agent record.
enum TlvType : uint16_t {
  kTlvProductName = 1,
  kTlvSystemName = 2,
  kTlvLocation = 3,
  kTlvIpAddr = 4,
  kTlvNetmask = 5,
  kTlvGateway = 6,
  kTlvTrapIpAddr = 7,
  kTlvNewPassword = 8,
  kTlvPassword = 9,
  kTlvDhcpMode = 10,
  kTlvFwVersion = 11,
  kTlvProductType = 12,
  kTlvHttpPort = 21,
  kTlvGroupTimer = 22,
  kTlvLldpMode = 24,
  kTlvLldpAuthKey = 25,
  kTlvSnmpMode = 26,
  kTlvUpgradeDelay = 27,
  kTlvUpgradeReboot = 28,
  kTlvUpgradeErase = 29,
  kTlvErrText = 30,
  kTlvErrTextTail = 31,
  kTlvFunBitmap = 129,
};

constexpr size_t kTlvHeaderSize = 4;

// TLV 31 continues the error text from its 129th byte.
constexpr size_t kErrTextTailOffset = 128;

// The modes a reply leaves in place when it does not carry them.
constexpr uint16_t kDefaultMode = 2;

// The mode value that means "do not send this mode".
constexpr uint16_t kModeNotSent = 3;

constexpr uint32_t kGroupTimerNotSent = 0xFFFFFFFFu;

// Width of the record's password fields; BuildPasswordTlvs never reads a
// password text further than this.
constexpr size_t kPasswordWidth = sizeof(AgentRecord::oldPassword);
static_assert(sizeof(AgentRecord::newPasseord) == kPasswordWidth, "password widths differ");

// Guards the sequence counter. Held only inside TakeSequenceNumber.
std::mutex g_sequenceMutex;
uint16_t g_nextSequence = 1;  // guarded by g_sequenceMutex

// Copies a string TLV's value of n bytes into dst, which has room for cap
// bytes, and terminates it. A value that does not fit is cut so that the
// terminator is the last byte of dst.
void CopyText(char* dst, size_t cap, const uint8_t* value, size_t n) {
  if (cap == 0) return;
  if (n > cap - 1) n = cap - 1;
  std::memcpy(dst, value, n);
  dst[n] = '\0';
}

void TrimTrailingBlanks(char* text, size_t cap) {
  size_t n = strnlen(text, cap);
  while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
}

// Appends TLVs to the body of a message under construction. Every append
// is checked against the buffer's capacity; one that does not fit is
// dropped and the body stays well-formed.
class TlvWriter {
 public:
  explicit TlvWriter(uint8_t* buf) : buf_(buf) {}

  void Bytes(uint16_t type, const void* value, size_t n) {
    pos_ += PutTlv(buf_, kMaxDatagram, pos_, type, value, n);
  }
  // A NUL-terminated text of a field `width` bytes wide, without its
  // terminator; a field with no NUL is sent whole.
  void Text(uint16_t type, const char* text, size_t width) {
    Bytes(type, text, text == nullptr ? 0 : strnlen(text, width));
  }
  void U8(uint16_t type, uint8_t v) { Bytes(type, &v, 1); }
  void U16(uint16_t type, uint16_t v) {
    uint8_t b[2];
    PutBe16(b, v);
    Bytes(type, b, sizeof(b));
  }
  void U32(uint16_t type, uint32_t v) {
    uint8_t b[4];
    PutBe32(b, v);
    Bytes(type, b, sizeof(b));
  }

  size_t BodyLength() const { return pos_ - kHeaderSize; }

 private:
  uint8_t* const buf_;
  size_t pos_ = kHeaderSize;
};

bool Bit(const AgentRecord& rec, int n) { return (rec.funBitmap[0] >> n) & 1u; }

}  // namespace

size_t PutTlv(uint8_t* buf, size_t cap, size_t offset, uint16_t type, const void* value,
              size_t valueLen) {
  if (buf == nullptr || offset > cap) return 0;
  if (valueLen > 0xFFFF - kTlvHeaderSize) return 0;
  const size_t total = valueLen + kTlvHeaderSize;
  if (total > cap - offset) return 0;
  if (valueLen > 0 && value == nullptr) return 0;
  uint8_t* p = buf + offset;
  PutBe16(p, type);
  PutBe16(p + 2, static_cast<uint16_t>(total));
  if (valueLen > 0) std::memcpy(p + kTlvHeaderSize, value, valueLen);
  return total;
}

size_t BuildHeader(uint8_t* buf, uint16_t msgType) {
  if (buf == nullptr) return 0;
  std::memset(buf, 0, kHeaderSize);
  PutBe16(buf + kOffVersion, 2);
  PutBe16(buf + kOffType, msgType);
  PutBe32(buf + kOffCookie, Settings().magicCookie.load());
  return kHeaderSize;
}

uint16_t TakeSequenceNumber() {
  std::lock_guard<std::mutex> lock(g_sequenceMutex);
  if (g_nextSequence == 0) g_nextSequence = 1;
  return g_nextSequence++;
}

int ParseAgentTlvs(const uint8_t* data, size_t len, AgentRecord* rec) {
  if (data == nullptr || rec == nullptr) return 0;

  rec->dhcpMode = kDefaultMode;
  rec->lldpMode = kDefaultMode;
  rec->snmpMode = kDefaultMode;

  // A short datagram yields the header fields it holds in full and no TLVs.
  if (len >= kOffVersion + 2) rec->agentProtoVer = GetBe16(data + kOffVersion);
  if (len >= kOffFamily + 2) rec->agentFamilyType = GetBe16(data + kOffFamily);
  if (len >= kOffMac + 6) std::memcpy(rec->macAddr, data + kOffMac, 6);
  if (len >= kOffInterfaceVer + 2) rec->agentInterfaceVer = GetBe16(data + kOffInterfaceVer);
  if (len >= kOffType + 2) {
    const uint16_t type = GetBe16(data + kOffType);
    rec->isLoaderMode = (type == kMsgLoaderDiscoveryReply || type == kMsgLoaderSetReply) ? 1 : 0;
  }
  if (len <= kHeaderSize) return 1;

  const uint8_t* p = data + kHeaderSize;
  size_t remaining = len - kHeaderSize;
  while (remaining >= kTlvHeaderSize) {
    const uint16_t type = GetBe16(p);
    const size_t length = GetBe16(p + 2);
    if (length < kTlvHeaderSize) break;

    // Switches send the fixed-size types with whatever length field; their
    // extent is the type's own size. Every other type spans its length.
    size_t extent = length;
    switch (type) {
      case kTlvIpAddr: case kTlvNetmask: case kTlvGateway: case kTlvTrapIpAddr:
      case kTlvUpgradeDelay: case kTlvUpgradeReboot: case kTlvUpgradeErase:
        extent = 8;
        break;
      case kTlvProductType: case kTlvHttpPort: case kTlvLldpMode: case kTlvSnmpMode:
        extent = 6;
        break;
      case kTlvFunBitmap:
        extent = 20;
        break;
      default:
        break;
    }
    if (extent > remaining) break;

    const uint8_t* value = p + kTlvHeaderSize;
    const size_t valueLen = extent - kTlvHeaderSize;
    switch (type) {
      case kTlvProductName:
        CopyText(rec->productName, sizeof(rec->productName), value, valueLen);
        TrimTrailingBlanks(rec->productName, sizeof(rec->productName));
        break;
      case kTlvSystemName:
        CopyText(rec->systemName, sizeof(rec->systemName), value, valueLen);
        break;
      case kTlvLocation:
        CopyText(rec->location, sizeof(rec->location), value, valueLen);
        break;
      case kTlvPassword:
        CopyText(rec->oldPassword, sizeof(rec->oldPassword), value, valueLen);
        break;
      case kTlvFwVersion:
        CopyText(rec->fwVersion, sizeof(rec->fwVersion), value, valueLen);
        break;
      case kTlvLldpAuthKey:
        CopyText(rec->lldpAuthenkey, sizeof(rec->lldpAuthenkey), value, valueLen);
        break;
      case kTlvErrText:
        CopyText(rec->errString, sizeof(rec->errString), value, valueLen);
        break;
      case kTlvErrTextTail:
        CopyText(rec->errString + kErrTextTailOffset,
                 sizeof(rec->errString) - kErrTextTailOffset, value, valueLen);
        break;
      case kTlvIpAddr:
        std::memcpy(rec->agentIpAddr, value, 4);
        break;
      case kTlvNetmask:
        std::memcpy(rec->agentNetmask, value, 4);
        break;
      case kTlvGateway:
        std::memcpy(rec->agentGateway, value, 4);
        break;
      case kTlvTrapIpAddr:
        std::memcpy(rec->trapIpAddr, value, 4);
        break;
      case kTlvUpgradeDelay:
        rec->upgradeDelayTime = GetBe32(value);
        break;
      case kTlvUpgradeReboot:
        rec->upgradeRebootTime = GetBe32(value);
        break;
      case kTlvUpgradeErase:
        rec->upgradeEreaseFlashTime = GetBe32(value);
        break;
      case kTlvProductType:
        rec->productType = GetBe16(value);
        break;
      case kTlvHttpPort:
        rec->httpPort = GetBe16(value);
        break;
      case kTlvLldpMode:
        rec->lldpMode = GetBe16(value);
        break;
      case kTlvSnmpMode:
        rec->snmpMode = GetBe16(value);
        break;
      case kTlvFunBitmap:
        for (int i = 0; i < 4; ++i) rec->funBitmap[i] = GetBe32(value + 4 * i);
        break;
      case kTlvDhcpMode:
        // One byte from switches of interface version 1, else a u16. An
        // empty value carries no mode and leaves the default.
        if (valueLen == 1) {
          rec->dhcpMode = value[0];
        } else if (valueLen >= 2) {
          rec->dhcpMode = GetBe16(value);
        }
        break;
      case kTlvGroupTimer:
        // A value too short for the u32 is skipped rather than read into
        // the next TLV.
        if (valueLen >= 4) rec->groupTimer = GetBe32(value);
        break;
      default:  // TLV 8 and unknown types
        break;
    }
    p += extent;
    remaining -= extent;
  }
  return 1;
}

size_t BuildPasswordTlvs(uint8_t* buf, const char* oldPassword, const char* newPassword) {
  if (buf == nullptr) return 0;
  TlvWriter w(buf);
  w.Text(kTlvPassword, oldPassword, kPasswordWidth);
  w.Text(kTlvNewPassword, newPassword, kPasswordWidth);
  return w.BodyLength();
}

size_t BuildSetBody(uint8_t* buf, const AgentRecord& rec, bool zeroAddresses) {
  if (buf == nullptr) return 0;
  static const uint8_t kZeroAddr[4] = {0, 0, 0, 0};
  TlvWriter w(buf);

  // The switch checks the current password before anything else.
  if (Bit(rec, 8)) w.Text(kTlvPassword, rec.oldPassword, sizeof(rec.oldPassword));

  if (Bit(rec, 0)) w.Text(kTlvProductName, rec.productName, sizeof(rec.productName));
  if (Bit(rec, 1)) w.Text(kTlvSystemName, rec.systemName, sizeof(rec.systemName));
  if (Bit(rec, 2)) w.Text(kTlvLocation, rec.location, sizeof(rec.location));

  if (Bit(rec, 3)) w.Bytes(kTlvIpAddr, zeroAddresses ? kZeroAddr : rec.agentIpAddr, 4);
  if (Bit(rec, 4)) w.Bytes(kTlvNetmask, zeroAddresses ? kZeroAddr : rec.agentNetmask, 4);
  if (Bit(rec, 5)) w.Bytes(kTlvGateway, zeroAddresses ? kZeroAddr : rec.agentGateway, 4);
  if (Bit(rec, 6)) w.Bytes(kTlvTrapIpAddr, rec.trapIpAddr, 4);

  if (Bit(rec, 7) && rec.newPasseord[0] != '\0') {
    w.Text(kTlvNewPassword, rec.newPasseord, sizeof(rec.newPasseord));
  }

  if (Bit(rec, 9) && rec.dhcpMode != kModeNotSent) {
    // Switches of interface version 1 take the mode as a single byte.
    if (rec.agentInterfaceVer == 1) {
      w.U8(kTlvDhcpMode, static_cast<uint8_t>(rec.dhcpMode));
    } else {
      w.U16(kTlvDhcpMode, rec.dhcpMode);
    }
  }

  if (Bit(rec, 23) && rec.lldpMode != kModeNotSent) w.U16(kTlvLldpMode, rec.lldpMode);
  if (Bit(rec, 25) && rec.snmpMode != kModeNotSent) w.U16(kTlvSnmpMode, rec.snmpMode);
  if (Bit(rec, 21) && rec.groupTimer != kGroupTimerNotSent) {
    w.U32(kTlvGroupTimer, rec.groupTimer);
  }
  if (Bit(rec, 24)) w.Text(kTlvLldpAuthKey, rec.lldpAuthenkey, sizeof(rec.lldpAuthenkey));

  if (Bit(rec, 26)) w.U32(kTlvUpgradeDelay, rec.upgradeDelayTime);
  if (Bit(rec, 27)) w.U32(kTlvUpgradeReboot, rec.upgradeRebootTime);
  if (Bit(rec, 30)) w.U32(kTlvUpgradeErase, rec.upgradeEreaseFlashTime);

  return w.BodyLength();
}

}  // namespace torvane
