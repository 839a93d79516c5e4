// Round trips of the text and address conversions at the service
// boundary: what goes in comes back, within the field limits.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "service/convert.h"
#include "soapH.h"

namespace {

using namespace torvane;

// A text that comes back from a record field: the same, or, when the
// answer text is longer than the field (bytes that are not UTF-8 grow when
// they become UTF-8), a prefix of it.
template <typename Text>
bool CameBack(const Text& first, const Text& second, size_t width) {
  if (second == first) return true;
  return first.size() > width && second.size() <= first.size() &&
         first.compare(0, second.size(), second) == 0;
}

// A name comes back unless it was cut or held a character the record's
// encoding cannot carry (U+FFFD stands for one in the answer).
bool NameCameBack(const std::wstring& first, const std::wstring& second) {
  if (second == first || first.find(static_cast<wchar_t>(0xFFFD)) != std::wstring::npos) {
    return true;
  }
  return second.size() <= first.size() && first.compare(0, second.size(), second) == 0;
}

// The name of the first field of the answer that did not come back, or
// null.
const char* FirstDifference(const ns__SwitchInfo& a, const ns__SwitchInfo& b) {
#define SAME(field) \
  if (!(a.field == b.field)) return #field;
#define TEXT(field) \
  if (!CameBack(a.field, b.field, sizeof(AgentRecord::field))) return #field;
#define NAME(field) \
  if (!NameCameBack(a.field, b.field)) return #field;
  TEXT(productName) NAME(systemName) NAME(location)
  SAME(agentIpAddr) SAME(agentNetmask) SAME(agentGateway) SAME(trapIpAddr)
  TEXT(newPasseord) TEXT(oldPassword) SAME(dhcpMode) TEXT(fwVersion) SAME(productType)
  SAME(httpPort) SAME(groupTimer) SAME(lldpMode) TEXT(lldpAuthenkey) SAME(snmpMode)
  SAME(agentProtoVer) SAME(agentFamilyType) SAME(agentInterfaceVer) SAME(upgradeDelayTime)
  SAME(upgradeRebootTime) SAME(upgradeEreaseFlashTime) SAME(funBitmap0) SAME(funBitmap1)
  SAME(funBitmap2) SAME(funBitmap3) TEXT(errString) SAME(macAddr) SAME(isLoaderMode)
#undef SAME
#undef TEXT
#undef NAME
  return nullptr;
}

size_t Utf8Size(char16_t unit) { return unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  torvane_fuzz::IsolateProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);

  // MAC bytes -> text -> bytes, and any accepted text -> bytes -> text.
  uint8_t mac[6];
  in.ConsumeData(mac, sizeof(mac));
  std::string macText = MacToText(mac);
  FUZZ_CHECK(macText.size() == kMacTextLength);
  uint8_t back[6] = {};
  FUZZ_CHECK(TextToMac(macText, back) == 0 && memcmp(back, mac, 6) == 0);
  std::string anyText = in.ConsumeRandomLengthString(24);
  uint8_t parsed[6] = {1, 2, 3, 4, 5, 6};
  if (TextToMac(anyText, parsed) == 0) {
    std::string upper = anyText;
    for (char& c : upper) c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
    FUZZ_CHECK(MacToText(parsed) == upper);
  } else {
    FUZZ_CHECK(memcmp(parsed, "\1\2\3\4\5\6", 6) == 0);
  }

  // Address bytes -> dotted text -> bytes.
  uint8_t addr[4];
  in.ConsumeData(addr, sizeof(addr));
  uint8_t addrBack[4] = {};
  FUZZ_CHECK(TextToAddress(AddressToText(addr), addrBack));
  FUZZ_CHECK(memcmp(addr, addrBack, 4) == 0);
  TextToAddress(in.ConsumeRandomLengthString(32), addrBack);

  // One character of up to 31 bits -> UTF-8 -> the same value.
  uint32_t v = in.ConsumeIntegral<uint32_t>() & 0x7FFFFFFFu;
  char enc[6];
  char* end = Utf8Encode(v, enc);
  size_t encLen = static_cast<size_t>(end - enc);
  FUZZ_CHECK(encLen >= 1 && encLen <= 6);
  uint32_t decoded = 0;
  FUZZ_CHECK(Utf8Decode(enc, encLen, &decoded) == encLen && decoded == v);

  // Wide name -> UTF-8 (at most 20 bytes) -> wide: a prefix of whole
  // characters comes back, all of it when it fits.
  std::vector<char16_t> wide;
  size_t units = in.ConsumeIntegralInRange<size_t>(0, 24);
  for (size_t i = 0; i < units; ++i) {
    char16_t u = in.ConsumeIntegral<uint16_t>();
    if (u != 0) wide.push_back(u);
  }
  wide.push_back(0);
  char utf8[kNameTextBuf];
  char* nul = WideToUtf8(wide.data(), utf8);
  FUZZ_CHECK(nul != nullptr && *nul == '\0' && nul - utf8 <= static_cast<ptrdiff_t>(kNameTextMax));
  char16_t wideBack[kNameTextBuf];
  size_t got = Utf8ToWide(utf8, wideBack);
  FUZZ_CHECK(got <= kNameTextMax && wideBack[got] == 0);
  FUZZ_CHECK(got <= wide.size() - 1 && memcmp(wideBack, wide.data(), got * 2) == 0);
  size_t need = 0;
  for (size_t i = 0; i + 1 < wide.size(); ++i) need += Utf8Size(wide[i]);
  if (need <= kNameTextMax) FUZZ_CHECK(got == wide.size() - 1);

  // Any bytes -> text an XML answer can carry; XML text stays as it is.
  std::string raw = in.ConsumeRandomLengthString(64);
  std::string xml = ToXmlText(raw.data(), raw.size());
  FUZZ_CHECK(IsXmlText(xml));
  if (IsXmlText(raw)) FUZZ_CHECK(xml == raw);
  FUZZ_CHECK(ToXmlText(xml.data(), xml.size()) == xml);

  // Record -> answer form -> record -> answer form: the answer comes back,
  // within the field limits.
  AgentRecord rec;
  memset(&rec, 0, sizeof(rec));
  std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof(rec));
  if (!bytes.empty()) memcpy(&rec, bytes.data(), bytes.size());
  ns__SwitchInfo first;
  AgentRecordToSwitchInfo(rec, &first);
  AgentRecord again;
  SwitchInfoToAgentRecord(first, &again);
  ns__SwitchInfo second;
  AgentRecordToSwitchInfo(again, &second);
  const char* differs = FirstDifference(first, second);
  if (differs != nullptr) fprintf(stderr, "the answer changed in %s\n", differs);
  FUZZ_CHECK(differs == nullptr);
  return 0;
}
