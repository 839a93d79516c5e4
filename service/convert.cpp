#include "service/convert.h"

#include <cstring>

#include "platform/codepage.h"
#include "soapH.h"

namespace torvane {

namespace {

bool IsHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Byte count of a UTF-8 sequence, from its first byte alone.
size_t Utf8SequenceLength(unsigned char b0) {
  if (b0 < 0xC0) return 1;
  if (b0 < 0xE0) return 2;
  if (b0 < 0xF0) return 3;
  if (b0 < 0xF8) return 4;
  if (b0 < 0xFC) return 5;
  return 6;
}

// The characters of XML 1.0; anything else cannot be written in an answer,
// not even as a character reference.
bool IsXmlChar(uint32_t cp) {
  return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Length (1 to 4) of the well-formed UTF-8 sequence at the start of the len
// bytes at p, with its value in *cp: no over-long form, no surrogate,
// nothing above U+10FFFF. 0 when the bytes there are not one.
size_t WellFormedSequence(const unsigned char* p, size_t len, uint32_t* cp) {
  unsigned char c = p[0];
  size_t n;
  uint32_t v;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    n = 2;
    v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    v = c & 0x07;
  } else {
    return 0;
  }
  if (n > len) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[k] & 0x3F);
  }
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

// The wide fields of ns__SwitchInfo hold one code point per wchar_t
// (32 bits here), while switch names are converted as 16-bit units, each
// on its own. Going to a switch, code points above U+FFFF become surrogate
// pairs; values that are no code point at all become U+FFFD.
std::u16string ToUnits(const std::wstring& text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp <= 0xFFFF) {
      units.push_back(static_cast<char16_t>(cp));
    } else if (cp <= 0x10FFFF) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(u'\uFFFD');
    }
  }
  return units;
}

// Coming from a switch: the units up to the first 0 unit (at most n) become
// one wchar_t each, except that a high and low surrogate pair is combined
// into its code point. A lone surrogate, or a control character, cannot be
// written as XML and becomes U+FFFD.
std::wstring FromUnits(const char16_t* units, size_t n) {
  std::wstring text;
  for (size_t i = 0; i < n && units[i] != 0; ++i) {
    uint32_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(units[i + 1])) {
      text.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) +
                                          (units[i + 1] - 0xDC00)));
      ++i;
    } else if (!IsXmlChar(u)) {
      text.push_back(static_cast<wchar_t>(0xFFFD));
    } else {
      text.push_back(static_cast<wchar_t>(u));
    }
  }
  return text;
}

// Text of a record field: up to its first NUL, never beyond its width.
size_t FieldLength(const char* field, size_t width) {
  const void* nul = std::memchr(field, 0, width);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
}

std::string ByteText(const char* field, size_t width) {
  return ToXmlText(field, FieldLength(field, width));
}

// Copies text into a zero-filled field without a terminator. A text longer
// than the field is cut to its width, except that a UTF-8 character that
// would be split is left out whole, so the client never gets a broken
// character back.
void PutByteText(const std::string& text, char* field, size_t width) {
  size_t n = text.size();
  if (n > width) {
    n = width;
    size_t lead = n;
    while (lead > 0 && n - lead < 5 &&
           (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) {
      --lead;
    }
    unsigned char b = static_cast<unsigned char>(text[lead]);
    if (lead < n && b >= 0xC0 && lead + Utf8SequenceLength(b) > n) n = lead;
  }
  std::memcpy(field, text.data(), n);
}

std::wstring NameFromRecord(const char* field, size_t width, bool utf8) {
  char16_t units[kNameTextBuf] = {};
  size_t len = FieldLength(field, width);
  if (utf8) {
    Utf8ToWide(field, len, units);
  } else {
    AnsiToWide(field, len, units, kNameTextBuf);
  }
  return FromUnits(units, kNameTextBuf);
}

// field must hold at least kNameTextBuf bytes and be zero-filled.
void NameToRecord(const std::wstring& text, char* field, bool utf8) {
  std::u16string units = ToUnits(text);
  if (utf8) {
    WideToUtf8(units.c_str(), field);
  } else {
    size_t len = 0;
    while (len < units.size() && units[len] != 0) ++len;
    WideToAnsi(units.data(), len, field, kNameTextBuf);
  }
}

}  // namespace

std::string ToXmlText(const char* text, size_t len) {
  std::string out;
  if (text == nullptr) return out;
  out.reserve(len);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < len) {
    uint32_t cp;
    size_t n = WellFormedSequence(p + i, len - i, &cp);
    bool asIs = n != 0;
    if (!asIs) {
      char16_t unit = 0;
      AnsiToWide(text + i, 1, &unit, 1);
      cp = unit;
      n = 1;
    }
    if (!IsXmlChar(cp)) {
      out.append("\xEF\xBF\xBD");  // U+FFFD
    } else if (asIs) {
      out.append(text + i, n);
    } else {
      char buf[6];
      out.append(buf, static_cast<size_t>(Utf8Encode(cp, buf) - buf));
    }
    i += n;
  }
  return out;
}

bool IsXmlText(const std::string& text) {
  return ToXmlText(text.data(), text.size()) == text;
}

void MacToText(const uint8_t* mac, std::string* text) {
  if (mac == nullptr || text == nullptr) return;
  static const char kHex[] = "0123456789ABCDEF";
  text->clear();
  for (int i = 0; i < 6; ++i) {
    text->push_back(kHex[mac[i] >> 4]);
    text->push_back(kHex[mac[i] & 0x0F]);
    if (i < 5) text->push_back('-');
  }
}

std::string MacToText(const uint8_t* mac) {
  std::string text;
  MacToText(mac, &text);
  return text;
}

int TextToMac(const std::string& text, uint8_t* mac) {
  if (mac == nullptr || text.size() != kMacTextLength) return -1;
  for (size_t i = 0; i < kMacTextLength; ++i) {
    bool separator = (i % 3 == 2);
    if (separator ? text[i] != '-' : HexValue(text[i]) < 0) return -1;
  }
  uint8_t bytes[6];
  for (size_t i = 0; i < 6; ++i) {
    bytes[i] = static_cast<uint8_t>(HexValue(text[3 * i]) * 16 + HexValue(text[3 * i + 1]));
  }
  std::memcpy(mac, bytes, sizeof(bytes));
  return 0;
}

void AddressToText(const uint8_t* addr, std::string* text) {
  if (addr == nullptr || text == nullptr) return;
  text->clear();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text->push_back('.');
    text->append(std::to_string(addr[i]));
  }
}

std::string AddressToText(const uint8_t* addr) {
  std::string text;
  AddressToText(addr, &text);
  return text;
}

bool TextToAddress(const std::string& text, uint8_t* addr) {
  if (addr == nullptr) return false;
  uint8_t bytes[4] = {0, 0, 0, 0};
  size_t pos = 0;
  int octets = 0;
  for (; octets < 4; ++octets) {
    if (octets > 0) {
      if (pos >= text.size() || text[pos] != '.') break;
      ++pos;
    }
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negative = (text[pos] == '-');
      ++pos;
    }
    if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') break;
    // Only the low 8 bits are kept, so the number is summed modulo 256.
    unsigned low = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      low = (low * 10 + static_cast<unsigned>(text[pos] - '0')) & 0xFF;
      ++pos;
    }
    bytes[octets] = static_cast<uint8_t>(negative ? (256 - low) & 0xFF : low);
  }
  std::memcpy(addr, bytes, sizeof(bytes));
  return octets == 4;
}

char* Utf8Encode(uint32_t v, char* out) {
  if (out == nullptr) return nullptr;
  unsigned char* p = reinterpret_cast<unsigned char*>(out);
  int continuation;
  if (v < 0x80) {
    *p++ = static_cast<unsigned char>(v);
    return reinterpret_cast<char*>(p);
  } else if (v < 0x800) {
    *p++ = static_cast<unsigned char>(0xC0 | (v >> 6));
    continuation = 1;
  } else if (v <= 0xFFFF) {
    *p++ = static_cast<unsigned char>(0xE0 | (v >> 12));
    continuation = 2;
  } else if (v < 0x200000) {
    *p++ = static_cast<unsigned char>(0xF0 | (v >> 18));
    continuation = 3;
  } else if (v < 0x4000000) {
    *p++ = static_cast<unsigned char>(0xF8 | (v >> 24));
    continuation = 4;
  } else {
    *p++ = static_cast<unsigned char>(0xFC | ((v >> 30) & 0x01));
    continuation = 5;
  }
  for (int i = continuation - 1; i >= 0; --i) {
    *p++ = static_cast<unsigned char>(0x80 | ((v >> (6 * i)) & 0x3F));
  }
  return reinterpret_cast<char*>(p);
}

size_t Utf8Decode(const char* text, size_t len, uint32_t* value) {
  uint32_t v = 0;
  size_t n = 0;
  if (text != nullptr && len > 0) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    static const unsigned char kLeadMask[7] = {0, 0xFF, 0x1F, 0x0F, 0x07, 0x03, 0x01};
    n = Utf8SequenceLength(p[0]);
    if (n > len) {
      v = p[0];
      n = 1;
    } else {
      v = p[0] & kLeadMask[n];
      for (size_t i = 1; i < n; ++i) v = (v << 6) | (p[i] & 0x3F);
    }
  }
  if (value != nullptr) *value = v;
  return n;
}

char* WideToUtf8(const char16_t* wide, char* dst) {
  if (wide == nullptr || dst == nullptr) return nullptr;
  size_t used = 0;
  dst[0] = '\0';
  for (size_t i = 0; wide[i] != 0; ++i) {
    char buf[12];
    char* end = Utf8Encode(wide[i], buf);
    size_t taken = 1;
    // wide[i] != 0, so wide[i + 1] is within the text.
    if (IsHighSurrogate(wide[i]) && IsLowSurrogate(wide[i + 1])) {
      end = Utf8Encode(wide[i + 1], end);
      taken = 2;
    }
    size_t n = static_cast<size_t>(end - buf);
    if (used + n > kNameTextMax) break;
    std::memcpy(dst + used, buf, n);
    used += n;
    dst[used] = '\0';
    i += taken - 1;
  }
  return dst + used;
}

size_t Utf8ToWide(const char* text, size_t len, char16_t* dst) {
  if (dst == nullptr) return 0;
  dst[0] = 0;
  if (text == nullptr) return 0;
  // A NUL ends the text, also inside a multi-byte sequence.
  const void* nul = std::memchr(text, 0, len);
  size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : len;
  size_t units = 0;
  size_t pos = 0;
  while (pos < end && units < kNameTextMax) {
    uint32_t v;
    size_t n = Utf8Decode(text + pos, end - pos, &v);
    dst[units++] = static_cast<char16_t>(v & 0xFFFF);
    dst[units] = 0;
    pos += n;
  }
  return units;
}

size_t Utf8ToWide(const char* text, char16_t* dst) {
  return Utf8ToWide(text, text ? std::strlen(text) : 0, dst);
}

void AgentRecordToSwitchInfo(const AgentRecord& rec, ns__SwitchInfo* info) {
  if (info == nullptr) return;
  bool utf8 = (rec.funBitmap[0] & kFunBitUtf8Names) != 0;
  info->productName = ByteText(rec.productName, sizeof(rec.productName));
  info->systemName = NameFromRecord(rec.systemName, sizeof(rec.systemName), utf8);
  info->location = NameFromRecord(rec.location, sizeof(rec.location), utf8);
  AddressToText(rec.agentIpAddr, &info->agentIpAddr);
  AddressToText(rec.agentNetmask, &info->agentNetmask);
  AddressToText(rec.agentGateway, &info->agentGateway);
  AddressToText(rec.trapIpAddr, &info->trapIpAddr);
  info->newPasseord = ByteText(rec.newPasseord, sizeof(rec.newPasseord));
  info->oldPassword = ByteText(rec.oldPassword, sizeof(rec.oldPassword));
  info->dhcpMode = rec.dhcpMode;
  info->fwVersion = ByteText(rec.fwVersion, sizeof(rec.fwVersion));
  info->productType = rec.productType;
  info->httpPort = rec.httpPort;
  info->groupTimer = rec.groupTimer;
  info->lldpMode = rec.lldpMode;
  info->lldpAuthenkey = ByteText(rec.lldpAuthenkey, sizeof(rec.lldpAuthenkey));
  info->snmpMode = rec.snmpMode;
  info->agentProtoVer = rec.agentProtoVer;
  info->agentFamilyType = rec.agentFamilyType;
  info->agentInterfaceVer = rec.agentInterfaceVer;
  info->upgradeDelayTime = rec.upgradeDelayTime;
  info->upgradeRebootTime = rec.upgradeRebootTime;
  info->upgradeEreaseFlashTime = rec.upgradeEreaseFlashTime;
  info->funBitmap0 = rec.funBitmap[0];
  info->funBitmap1 = rec.funBitmap[1];
  info->funBitmap2 = rec.funBitmap[2];
  info->funBitmap3 = rec.funBitmap[3];
  info->errString = ByteText(rec.errString, sizeof(rec.errString));
  MacToText(rec.macAddr, &info->macAddr);
  info->isLoaderMode = static_cast<int>(rec.isLoaderMode);
}

void SwitchInfoToAgentRecord(const ns__SwitchInfo& info, AgentRecord* rec) {
  if (rec == nullptr) return;
  std::memset(rec, 0, sizeof(*rec));
  bool utf8 = (info.funBitmap0 & kFunBitUtf8Names) != 0;
  PutByteText(info.productName, rec->productName, sizeof(rec->productName));
  NameToRecord(info.systemName, rec->systemName, utf8);
  NameToRecord(info.location, rec->location, utf8);
  TextToAddress(info.agentIpAddr, rec->agentIpAddr);
  TextToAddress(info.agentNetmask, rec->agentNetmask);
  TextToAddress(info.agentGateway, rec->agentGateway);
  TextToAddress(info.trapIpAddr, rec->trapIpAddr);
  PutByteText(info.newPasseord, rec->newPasseord, sizeof(rec->newPasseord));
  PutByteText(info.oldPassword, rec->oldPassword, sizeof(rec->oldPassword));
  rec->dhcpMode = info.dhcpMode;
  PutByteText(info.fwVersion, rec->fwVersion, sizeof(rec->fwVersion));
  rec->productType = info.productType;
  rec->httpPort = info.httpPort;
  rec->groupTimer = info.groupTimer;
  rec->lldpMode = info.lldpMode;
  PutByteText(info.lldpAuthenkey, rec->lldpAuthenkey, sizeof(rec->lldpAuthenkey));
  rec->snmpMode = info.snmpMode;
  rec->agentProtoVer = info.agentProtoVer;
  rec->agentFamilyType = info.agentFamilyType;
  rec->agentInterfaceVer = info.agentInterfaceVer;
  rec->upgradeDelayTime = info.upgradeDelayTime;
  rec->upgradeRebootTime = info.upgradeRebootTime;
  rec->upgradeEreaseFlashTime = info.upgradeEreaseFlashTime;
  rec->funBitmap[0] = info.funBitmap0;
  rec->funBitmap[1] = info.funBitmap1;
  rec->funBitmap[2] = info.funBitmap2;
  rec->funBitmap[3] = info.funBitmap3;
  PutByteText(info.errString, rec->errString, sizeof(rec->errString));
  TextToMac(info.macAddr, rec->macAddr);
  rec->isLoaderMode = static_cast<uint32_t>(info.isLoaderMode);
}

}  // namespace torvane
