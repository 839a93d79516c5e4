#include "service/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "platform/codepage.h"
#include "soapH.h"

namespace torvane {
namespace {

TEST(MacText, FormatsUpperCaseAndLeavesTextWithoutBytes) {
  const uint8_t mac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  EXPECT_EQ(MacToText(mac), "00-1B-2C-3D-4E-5F");
  const uint8_t ab[6] = {0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
  EXPECT_EQ(MacToText(ab), "AB-AB-AB-AB-AB-AB");
  std::string text = "keep";
  MacToText(nullptr, &text);
  EXPECT_EQ(text, "keep");
}

TEST(MacText, ParsesEitherCaseAndRefusesMalformedText) {
  uint8_t upper[6], lower[6];
  ASSERT_EQ(TextToMac("00-1B-2C-3D-4E-5F", upper), 0);
  ASSERT_EQ(TextToMac("00-1b-2c-3d-4e-5f", lower), 0);
  const uint8_t want[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  EXPECT_EQ(std::memcmp(upper, want, 6), 0);
  EXPECT_EQ(std::memcmp(lower, want, 6), 0);

  for (const char* bad : {"00-1B-2C-3D-4E-5", "00-1B-2C-3D-4E-5F0", "00:1B:2C:3D:4E:5F",
                          "00-1B-2C-3D04E-5F", "00-1B-2C-3D-4E-5G", "-01B-2C-3D-4E-5F0"}) {
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(TextToMac(bad, mac), -1) << bad;
    const uint8_t untouched[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(mac, untouched, 6), 0) << bad;
  }
}

TEST(AddressText, DottedDecimalBothWays) {
  const uint8_t a[4] = {192, 168, 0, 1}, b[4] = {10, 0, 0, 7};
  EXPECT_EQ(AddressToText(a), "192.168.0.1");
  EXPECT_EQ(AddressToText(b), "10.0.0.7");

  uint8_t addr[4];
  EXPECT_TRUE(TextToAddress("10.0.0.300", addr));
  EXPECT_EQ(AddressToText(addr), "10.0.0.44");
  EXPECT_TRUE(TextToAddress("  256.-1.+7. 9junk", addr));
  EXPECT_EQ(AddressToText(addr), "0.255.7.9");
  EXPECT_TRUE(TextToAddress("1.2.3.123456789012345678901", addr));  // low 8 bits
  EXPECT_EQ(addr[3], 0x35);
  EXPECT_FALSE(TextToAddress("10.1", addr));
  EXPECT_EQ(AddressToText(addr), "10.1.0.0");
  EXPECT_FALSE(TextToAddress("", addr));
  EXPECT_EQ(AddressToText(addr), "0.0.0.0");
}

TEST(Utf8, EncodeDecodeEveryLength) {
  const struct {
    uint32_t v;
    size_t len;
  } cases[] = {{0x41, 1}, {0x7F, 1}, {0x80, 2}, {0x7FF, 2}, {0x800, 3}, {0xFFFF, 3},
               {0x10000, 4}, {0x1FFFFF, 4}, {0x200000, 5}, {0x3FFFFFF, 5},
               {0x4000000, 6}, {0x7FFFFFFF, 6}};
  for (const auto& c : cases) {
    char buf[6];
    char* end = Utf8Encode(c.v, buf);
    ASSERT_EQ(static_cast<size_t>(end - buf), c.len) << std::hex << c.v;
    uint32_t v = 0;
    EXPECT_EQ(Utf8Decode(buf, c.len, &v), c.len);
    EXPECT_EQ(v, c.v);
  }
  uint32_t v;
  EXPECT_EQ(Utf8Decode("\xC3\xA9", 2, &v), 2u);
  EXPECT_EQ(v, 0xE9u);
  EXPECT_EQ(Utf8Decode("\x93", 1, &v), 1u);
  EXPECT_EQ(v, 0x93u);
  EXPECT_EQ(Utf8Decode(nullptr, 3, &v), 0u);
  // Cut short by the end of the text: only the first byte is taken.
  EXPECT_EQ(Utf8Decode("\xE4\xB8", 2, &v), 1u);
  EXPECT_EQ(v, 0xE4u);
}

TEST(Utf8, WideFromUtf8StopsAtTwentyUnits) {
  char16_t wide[kNameTextBuf];
  std::memset(wide, 0xEE, sizeof(wide));
  EXPECT_EQ(Utf8ToWide("ABCDEFGHIJKLMNOPQRSTUVWXY", wide), 20u);
  EXPECT_EQ(std::u16string(wide), u"ABCDEFGHIJKLMNOPQRST");

  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80", wide), 1u);  // U+1F600
  EXPECT_EQ(wide[0], 0xF600);
  EXPECT_EQ(wide[1], 0);
  // A sequence cut by a NUL or by the length does not read past it.
  EXPECT_EQ(Utf8ToWide("a\xC3\0\xA9", 4, wide), 2u);
  EXPECT_EQ(std::u16string(wide), u"a\u00C3");
  EXPECT_EQ(Utf8ToWide("\xE2\x82\xAC", 2, wide), 2u);
}

TEST(Utf8, Utf8FromWideStopsBeforeTwentyOneBytes) {
  char out[kNameTextBuf];
  std::memset(out, 'x', sizeof(out));
  const char16_t seven[] = u"\u4E00\u4E01\u4E02\u4E03\u4E04\u4E05\u4E06";
  char* end = WideToUtf8(seven, out);
  EXPECT_EQ(end - out, 18);
  EXPECT_EQ(std::strlen(out), 18u);

  // A surrogate pair is never split: 18 bytes + 6 would pass 20.
  const char16_t pair[] = u"ABCDEFGHIJKLMN\U0001F600";
  end = WideToUtf8(pair, out);
  EXPECT_EQ(std::string(out), "ABCDEFGHIJKLMN\xED\xA0\xBD\xED\xB8\x80");
  const char16_t pairTooLong[] = u"ABCDEFGHIJKLMNOP\U0001F600";
  WideToUtf8(pairTooLong, out);
  EXPECT_EQ(std::string(out), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(WideToUtf8(nullptr, out), nullptr);
}

TEST(CodePage, Windows1252RoundTripsEveryByte) {
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  char16_t wide[256];
  ASSERT_EQ(AnsiToWide(bytes, 256, wide, 256), 256u);
  EXPECT_EQ(wide[0x41], u'A');
  EXPECT_EQ(wide[0x80], 0x20AC);  // euro sign
  EXPECT_EQ(wide[0x9F], 0x0178);
  EXPECT_EQ(wide[0xE9], 0x00E9);
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(wide[b], b);  // C1, as Windows
  char back[256];
  ASSERT_EQ(WideToAnsi(wide, 256, back, 256), 256u);
  EXPECT_EQ(std::memcmp(bytes, back, 256), 0);
}

TEST(CodePage, UnmappableAndBounds) {
  const char16_t text[] = {u'a', 0x0100, 0xD83D, 0xDE00, 0xD800, u'b', 0x0080};
  char out[8];
  std::memset(out, 'x', sizeof(out));
  ASSERT_EQ(WideToAnsi(text, 6, out, sizeof(out)), 5u);  // U+0080 is not read
  EXPECT_EQ(std::string(out, 5), "aA??b");  // A with macron has a best fit
  EXPECT_EQ(out[5], 'x');
  EXPECT_EQ(WideToAnsi(u"\u20AC\u20AC\u20AC", 3, out, 2), 2u);
  EXPECT_EQ(std::string(out, 2), "\x80\x80");
  char16_t wide[3] = {9, 9, 9};
  EXPECT_EQ(AnsiToWide("abcd", 4, wide, 2), 2u);
  EXPECT_EQ(wide[2], 9);
}

std::string Ansi(const std::u16string& text, size_t room = 64) {
  std::string out(room, 'x');
  out.resize(WideToAnsi(text.data(), text.size(), &out[0], room));
  return out;
}

TEST(CodePage, BestFitLettersAndComposedAccentsAsWindows) {
  // Letters of the code page keep their byte; others get their best fit.
  EXPECT_EQ(Ansi(u"\u0141\u00F3d\u017A"), "L\xF3" "dz");  // Łódź
  EXPECT_EQ(Ansi(u"\u0160koda \u017Delezni\u010Dar"), "\x8Akoda \x8E" "eleznicar");
  EXPECT_EQ(Ansi(u"\u0110\u0111\u0131\u0142\u0150\u0171\u0191"), "\xD0" "dilOu\x83");
  EXPECT_EQ(Ansi(u"\u01D5\u01F0\u0180"), "Ujb");
  // No best fit: other scripts, and Latin letters Windows leaves out.
  EXPECT_EQ(Ansi(u"\u0416\u4E00\u0138\u014A\u017F"), "?????");
  // Decomposed accents are composed first: e + U+0301 is e acute (0xE9);
  // o + U+0301 + U+0323 composes into a letter that has only a best fit.
  EXPECT_EQ(Ansi(u"Cafe\u0301"), "Caf\xE9");
  EXPECT_EQ(Ansi(u"L\u0301o\u0301dz\u0301"), "L\xF3" "dz");
  EXPECT_EQ(Ansi(u"A\u030A"), "\xC5");
  EXPECT_EQ(Ansi(u"\u212B"), "\xC5");  // Angstrom sign
  EXPECT_EQ(Ansi(u"a\u0328"), "a");       // a with ogonek
  // A combining accent that composes with nothing stays a character of its own.
  EXPECT_EQ(Ansi(u"x\u0301"), "x?");
  EXPECT_EQ(Ansi(u"\u0301"), "?");
  // The destination bounds the bytes written, counted after composition.
  EXPECT_EQ(Ansi(u"e\u0301e\u0301e\u0301", 2), "\xE9\xE9");
}

TEST(CodePage, WidePathToUtf8RefusesWhatItCannotHoldWhole) {
  char out[kPathBufSize];
  ASSERT_TRUE(WidePathToUtf8(L"/tmp/caf\u00E9\U0001F600.cfg", out));
  EXPECT_EQ(std::string(out), "/tmp/caf\xC3\xA9\xF0\x9F\x98\x80.cfg");

  std::wstring longest(kPathBufSize - 1, L'a');
  ASSERT_TRUE(WidePathToUtf8(longest, out));
  EXPECT_EQ(std::strlen(out), kPathBufSize - 1);
  std::wstring tooLong = std::wstring(kPathBufSize - 2, L'a') + L"\u00E9";
  for (const std::wstring& bad :
       {tooLong, std::wstring(L"a\0b", 3), std::wstring(1, static_cast<wchar_t>(0xD800)),
        std::wstring(1, static_cast<wchar_t>(0x110000))}) {
    std::memset(out, 'x', sizeof(out));
    EXPECT_FALSE(WidePathToUtf8(bad, out));
    EXPECT_EQ(out[0], '\0');
  }
}

ns__SwitchInfo SampleInfo() {
  ns__SwitchInfo info;
  info.productName = "GS-108";
  info.systemName = L"core";
  info.location = L"rack 2";
  info.agentIpAddr = "192.168.0.10";
  info.agentNetmask = "255.255.255.0";
  info.agentGateway = "192.168.0.1";
  info.trapIpAddr = "10.0.0.7";
  info.newPasseord = "new";
  info.oldPassword = "old";
  info.dhcpMode = 1;
  info.fwVersion = "1.2.3";
  info.productType = 0xBEEF;
  info.httpPort = 8080;
  info.groupTimer = 0xFFFFFFFF;
  info.lldpMode = 2;
  info.lldpAuthenkey = "key";
  info.snmpMode = 3;
  info.agentProtoVer = 6;
  info.agentFamilyType = 7;
  info.agentInterfaceVer = 4;
  info.upgradeDelayTime = 11;
  info.upgradeRebootTime = 22;
  info.upgradeEreaseFlashTime = 33;
  info.funBitmap0 = 0x80000001;
  info.funBitmap1 = 1;
  info.funBitmap2 = 2;
  info.funBitmap3 = 3;
  info.errString = "none";
  info.macAddr = "00-1b-2c-3d-4e-5f";
  info.isLoaderMode = 1;
  return info;
}

TEST(SwitchInfoRecord, RoundTripKeepsEveryValue) {
  ns__SwitchInfo in = SampleInfo();
  in.agentNetmask = "255.255.255.000";
  AgentRecord rec;
  SwitchInfoToAgentRecord(in, &rec);
  auto texts = [](const ns__SwitchInfo& i) {
    return std::make_tuple(i.productName, i.systemName, i.location, i.agentIpAddr,
                           i.agentNetmask, i.agentGateway, i.trapIpAddr, i.newPasseord,
                           i.oldPassword, i.fwVersion, i.lldpAuthenkey, i.errString,
                           i.macAddr);
  };
  auto numbers = [](const ns__SwitchInfo& i) {
    return std::make_tuple(i.dhcpMode, i.productType, i.httpPort, i.groupTimer, i.lldpMode,
                           i.snmpMode, i.agentProtoVer, i.agentFamilyType,
                           i.agentInterfaceVer, i.upgradeDelayTime, i.upgradeRebootTime,
                           i.upgradeEreaseFlashTime, i.funBitmap0, i.funBitmap1,
                           i.funBitmap2, i.funBitmap3, i.isLoaderMode);
  };
  ns__SwitchInfo out;
  AgentRecordToSwitchInfo(rec, &out);

  // Distinct sample values, so a field mapped to its neighbour shows, also
  // when both directions make the same mistake.
  const uint8_t addrs[16] = {192, 168, 0, 10, 255, 255, 255, 0, 192, 168, 0, 1, 10, 0, 0, 7};
  EXPECT_EQ(std::memcmp(rec.agentIpAddr, addrs, 16), 0);
  const uint8_t mac[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  EXPECT_EQ(std::memcmp(rec.macAddr, mac, 6), 0);
  EXPECT_EQ(std::make_tuple(std::string(rec.productName), std::string(rec.systemName),
                            std::string(rec.location), std::string(rec.newPasseord),
                            std::string(rec.oldPassword), std::string(rec.fwVersion),
                            std::string(rec.lldpAuthenkey), std::string(rec.errString)),
            std::make_tuple(in.productName, std::string("core"), std::string("rack 2"),
                            in.newPasseord, in.oldPassword, in.fwVersion, in.lldpAuthenkey,
                            in.errString));
  EXPECT_EQ(std::make_tuple(rec.dhcpMode, rec.productType, rec.httpPort, rec.groupTimer,
                            rec.lldpMode, rec.snmpMode, rec.agentProtoVer, rec.agentFamilyType,
                            rec.agentInterfaceVer, rec.upgradeDelayTime, rec.upgradeRebootTime,
                            rec.upgradeEreaseFlashTime, rec.funBitmap[0], rec.funBitmap[1],
                            rec.funBitmap[2], rec.funBitmap[3], static_cast<int>(rec.isLoaderMode)),
            numbers(in));
  ns__SwitchInfo want = SampleInfo();
  want.macAddr = "00-1B-2C-3D-4E-5F";
  EXPECT_EQ(texts(out), texts(want));
  EXPECT_EQ(numbers(out), numbers(want));

  // Every field survives the way back byte for byte.
  AgentRecord again;
  SwitchInfoToAgentRecord(out, &again);
  EXPECT_EQ(std::memcmp(&rec, &again, sizeof(rec)), 0);
}

TEST(SwitchInfoRecord, NameEncodingFollowsTheFlag) {
  AgentRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  std::memcpy(rec.systemName, "\xC3\xA9", 2);
  rec.funBitmap[0] = kFunBitUtf8Names;
  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(rec, &info);
  EXPECT_EQ(info.systemName, L"\u00E9");
  rec.funBitmap[0] = 0;
  AgentRecordToSwitchInfo(rec, &info);
  EXPECT_EQ(info.systemName, L"\u00C3\u00A9");

  // ANSI: one byte per character, '?' for what the code page lacks.
  info = SampleInfo();
  info.funBitmap0 = 0;
  info.systemName = L"caf\u00E9\u20AC\U0001F600";
  SwitchInfoToAgentRecord(info, &rec);
  EXPECT_EQ(std::string(rec.systemName), "caf\xE9\x80?");

  // UTF-8: a character above U+FFFF goes as two 3-byte units and comes
  // back as one code point.
  info.funBitmap0 = kFunBitUtf8Names;
  SwitchInfoToAgentRecord(info, &rec);
  EXPECT_EQ(std::string(rec.systemName), "caf\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80");
  AgentRecordToSwitchInfo(rec, &info);
  EXPECT_EQ(info.systemName, L"caf\u00E9\u20AC\U0001F600");

  // A lone surrogate from a switch is shown as U+FFFD.
  std::memset(rec.location, 0, sizeof(rec.location));
  std::memcpy(rec.location, "\xED\xA0\xBDx", 4);
  AgentRecordToSwitchInfo(rec, &info);
  EXPECT_EQ(info.location, L"\uFFFDx");
}

TEST(SwitchInfoRecord, LongTextsStayInsideTheirFields) {
  ns__SwitchInfo info = SampleInfo();
  info.productName = std::string(60, 'P');
  info.oldPassword = std::string(21, 'o');        // exactly full: no NUL
  info.newPasseord = std::string(20, 'n') + "\xC3\xA9";  // would split the character
  info.errString = std::string(500, 'e');
  info.funBitmap0 = 0;
  info.systemName = std::wstring(30, L's');
  info.location = std::wstring(30, L'l');
  info.macAddr = "00-1B-2C-3D-4E";
  AgentRecord rec;
  SwitchInfoToAgentRecord(info, &rec);
  EXPECT_EQ(std::string(rec.productName, 41), std::string(41, 'P'));
  EXPECT_EQ(std::string(rec.systemName, 21), std::string(21, 's'));
  EXPECT_EQ(std::string(rec.location), std::string(21, 'l'));
  EXPECT_EQ(std::string(rec.newPasseord), std::string(20, 'n'));
  EXPECT_EQ(std::string(rec.oldPassword, 21), std::string(21, 'o'));
  EXPECT_EQ(rec.dhcpMode, 1);  // the field after the full password
  EXPECT_EQ(std::string(rec.errString, 384), std::string(384, 'e'));
  const uint8_t zero[6] = {};
  EXPECT_EQ(std::memcmp(rec.macAddr, zero, 6), 0);

  // Reading back never runs past a full field.
  ns__SwitchInfo back;
  AgentRecordToSwitchInfo(rec, &back);
  EXPECT_EQ(back.productName, std::string(41, 'P'));
  EXPECT_EQ(back.systemName, std::wstring(21, L's'));
  EXPECT_EQ(back.oldPassword, std::string(21, 'o'));
  EXPECT_EQ(back.errString, std::string(384, 'e'));

  info.funBitmap0 = kFunBitUtf8Names;
  SwitchInfoToAgentRecord(info, &rec);
  EXPECT_EQ(std::string(rec.systemName), std::string(20, 's'));
  EXPECT_EQ(std::string(rec.location), std::string(20, 'l'));
}

TEST(XmlText, KeepsUtf8AndRepairsWhatXmlCannotCarry) {
  // Well-formed UTF-8 and the three allowed controls pass byte for byte.
  const std::string good = "caf\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x98\x80\t\n\r\x7F";
  EXPECT_EQ(ToXmlText(good.data(), good.size()), good);
  EXPECT_TRUE(IsXmlText(good));
  // Other bytes are Windows-1252; other controls, U+FFFE and U+FFFF are
  // U+FFFD.
  const std::string bad = "Pr\xE9\x01x\x80\xFF";
  EXPECT_EQ(ToXmlText(bad.data(), bad.size()),
            "Pr\xC3\xA9\xEF\xBF\xBDx\xE2\x82\xAC\xC3\xBF");
  EXPECT_FALSE(IsXmlText(bad));
  for (const std::string& odd : {std::string("\xC3"), std::string("\xC0\xAF"),
                                 std::string("\xED\xA0\xBD"), std::string("\xEF\xBF\xBE"),
                                 std::string("\xF4\x90\x80\x80"), std::string("\x1B")}) {
    EXPECT_FALSE(IsXmlText(odd)) << odd.size();
    EXPECT_TRUE(IsXmlText(ToXmlText(odd.data(), odd.size())));
  }
  EXPECT_EQ(ToXmlText("\xEF\xBF\xBF", 3), "\xEF\xBF\xBD");
  EXPECT_EQ(ToXmlText(nullptr, 4), "");
}

TEST(SwitchInfoRecord, AnswerTextsAreAlwaysXml) {
  // A record from a switch or a file with bytes that are not UTF-8, or with
  // controls, must not make the answer unreadable.
  AgentRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  std::memcpy(rec.productName, "Pr\xE9\x01x", 5);
  std::memcpy(rec.systemName, "N\xE4\x02", 3);
  std::memcpy(rec.location, "\xEF\xBF\xBE", 3);
  rec.funBitmap[0] = 0;
  std::memset(rec.errString, '\x1B', sizeof(rec.errString));  // no NUL at all
  ns__SwitchInfo info;
  AgentRecordToSwitchInfo(rec, &info);
  EXPECT_EQ(info.productName, "Pr\xC3\xA9\xEF\xBF\xBDx");
  EXPECT_EQ(info.systemName, L"N\u00E4\uFFFD");
  EXPECT_EQ(info.location, L"\u00EF\u00BF\u00BE");  // ANSI: three characters
  rec.funBitmap[0] = kFunBitUtf8Names;
  AgentRecordToSwitchInfo(rec, &info);
  EXPECT_EQ(info.location, L"\uFFFD");
  std::string expected;
  for (size_t i = 0; i < sizeof(rec.errString); ++i) expected += "\xEF\xBF\xBD";
  EXPECT_EQ(info.errString, expected);
}

}  // namespace
}  // namespace torvane
