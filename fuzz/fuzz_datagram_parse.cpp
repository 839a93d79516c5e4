// A switch's datagram parsed into an agent record, then turned into the
// answer form the client reads.
//
// The input is the datagram itself, in a buffer of exactly its size, so a
// read past its end is an AddressSanitizer finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/protocol.h"
#include "fuzz/fuzz_support.h"
#include "service/convert.h"
#include "soapH.h"

namespace {

bool IsXmlWide(const std::wstring& text) {
  for (wchar_t c : text) {
    uint32_t v = static_cast<uint32_t>(c);
    if (v < 0x20 && v != 0x9 && v != 0xA && v != 0xD) return false;
    if (v == 0xFFFE || v == 0xFFFF || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  torvane_fuzz::IsolateProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace torvane;
  if (size > kMaxDatagram) return -1;  // the receive path never hands on more

  // Fields without a TLV keep what the record held: start from a pattern.
  AgentRecord rec;
  memset(&rec, 0x5A, sizeof(rec));
  AgentRecord before = rec;
  FUZZ_CHECK(ParseAgentTlvs(data, size, &rec) == 1);

  if (size >= kOffMac + 6) {
    FUZZ_CHECK(memcmp(rec.macAddr, data + kOffMac, 6) == 0);
  } else {
    FUZZ_CHECK(memcmp(rec.macAddr, before.macAddr, 6) == 0);
  }
  if (size <= kHeaderSize) {
    // No body: the three modes get their default and no text changes.
    FUZZ_CHECK(rec.dhcpMode == 2 && rec.lldpMode == 2 && rec.snmpMode == 2);
    FUZZ_CHECK(memcmp(rec.productName, before.productName, sizeof(rec.productName)) == 0);
    FUZZ_CHECK(memcmp(rec.errString, before.errString, sizeof(rec.errString)) == 0);
  }

  // The answer form of any record is text an XML answer can carry.
  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(rec, &info);
  for (const std::string* s : {&info.productName, &info.agentIpAddr, &info.agentNetmask,
                               &info.agentGateway, &info.trapIpAddr, &info.newPasseord,
                               &info.oldPassword, &info.fwVersion, &info.lldpAuthenkey,
                               &info.errString, &info.macAddr}) {
    FUZZ_CHECK(IsXmlText(*s));
  }
  FUZZ_CHECK(IsXmlWide(info.systemName) && IsXmlWide(info.location));
  FUZZ_CHECK(info.macAddr == MacToText(rec.macAddr));

  // Back into a record and out again: the answer form is stable.
  AgentRecord again;
  SwitchInfoToAgentRecord(info, &again);
  FUZZ_CHECK(memcmp(again.macAddr, rec.macAddr, 6) == 0);
  FUZZ_CHECK(memcmp(again.agentIpAddr, rec.agentIpAddr, 4) == 0);
  FUZZ_CHECK(again.funBitmap[0] == rec.funBitmap[0] && again.groupTimer == rec.groupTimer);
  return 0;
}
