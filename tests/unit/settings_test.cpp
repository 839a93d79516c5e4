// Tests of the settings file codec, reader and writer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "engine/settings.h"
#include "engine/settings_codec.h"

namespace torvane {
namespace {

const char kPlain[] =
    "magic_cookie=0a0b0c0d\r\n"
    "udp_discovery_port=fc01\r\n"
    "multicast_group=239.255.255.100\r\n"
    "monitor_polling_interval=15\r\n"
    "igmp_report_interval=120";

std::string PlainWithCookie(unsigned cookie) {
  char text[160];
  std::snprintf(text, sizeof(text),
                "magic_cookie=%08x\r\nudp_discovery_port=fc01\r\nmulticast_group=239.255.255.100"
                "\r\nmonitor_polling_interval=15\r\nigmp_report_interval=120",
                cookie);
  return text;
}

SettingsValues DecodePlain(const std::string& plain) {
  SettingsValues v;
  EXPECT_TRUE(DecodeSettings(EncodeSettings(plain), &v));
  return v;
}

// The first checksum byte the usual pair would have after this text.
unsigned UsualFirstByte(const std::string& scrambled) {
  return 255 - SettingsChecksumFold(scrambled);
}

// Sets every setting to a value no file produces, to see what a read changed.
void FillSentinels(EngineSettings* s) {
  s->magicCookie = 0xDEADBEEF;
  s->discoveryPort = 1111;
  s->unicastPort = 1112;
  s->switchPort = 1113;
  s->multicastPort = 1117;
  s->multicastGroup = 0x01020304;
  s->monitorPollingIntervalMs = 7;
  s->igmpReportIntervalMs = 8;
  s->portInUse = true;
}

void ExpectSentinels(const EngineSettings& s) {
  EXPECT_EQ(s.magicCookie.load(), 0xDEADBEEFu);
  EXPECT_EQ(s.discoveryPort.load(), 1111);
  EXPECT_EQ(s.switchPort.load(), 1113);
  EXPECT_EQ(s.multicastGroup.load(), 0x01020304u);
  EXPECT_EQ(s.monitorPollingIntervalMs.load(), 7u);
  EXPECT_EQ(s.igmpReportIntervalMs.load(), 8u);
  EXPECT_TRUE(s.portInUse.load());
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/torvane-settings-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/define.ecf";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Store(const std::string& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string Load() {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string ReadBack() {
    std::string content;
    EXPECT_TRUE(ReadSettingsBytes(path_.c_str(), &content));
    return content;
  }

  std::string dir_;
  std::string path_;
};

TEST(SettingsScrambleTest, AffineSubstitutionIsABijectionOverThe96Codes) {
  EXPECT_EQ(ModularInverse(37, 96), 13);
  EXPECT_EQ(ModularInverse(-59, 96), 13);
  EXPECT_EQ(ModularInverse(6, 96), -1);
  std::set<int> images;
  for (int c = 32; c < 128; ++c) {
    uint8_t e = ScrambleByte(static_cast<uint8_t>(c));
    EXPECT_GE(e, 32);
    EXPECT_LT(e, 128);
    images.insert(e);
    EXPECT_EQ(UnscrambleByte(e), c);
  }
  EXPECT_EQ(images.size(), 96u);
  EXPECT_NE(ScrambleByte('m'), 'm');  // the key is not the identity
  for (int c : {0, 13, 10, 31, 128, 200, 255}) {
    EXPECT_EQ(ScrambleByte(static_cast<uint8_t>(c)), c);
    EXPECT_EQ(UnscrambleByte(static_cast<uint8_t>(c)), c);
  }
}

TEST(SettingsChecksumTest, FoldAndPair) {
  EXPECT_EQ(SettingsChecksumFold(""), 0u);
  EXPECT_EQ(SettingsChecksumFold(std::string(1, '\xff')), 255u);
  EXPECT_EQ(SettingsChecksumFold(std::string(2, '\x80')), 1u);       // 256
  EXPECT_EQ(SettingsChecksumFold(std::string(257, '\xff')), 255u);   // 0xFFFF
  EXPECT_EQ(SettingsChecksumFold(std::string(258, '\xff')), 254u);   // wraps to 0x00FE
  // The usual pair is 255 - f, 255.
  std::string text(kPlain);
  ScrambleText(&text);
  std::string encoded = EncodeSettings(kPlain);
  ASSERT_EQ(encoded.size(), text.size() + 2);
  EXPECT_EQ(encoded.substr(0, text.size()), text);
  EXPECT_TRUE(SettingsChecksumValid(encoded));
  if (UsualFirstByte(text) != '\n' && UsualFirstByte(text) != 0 && UsualFirstByte(text) != 26) {
    EXPECT_EQ(static_cast<uint8_t>(encoded[text.size()]), UsualFirstByte(text));
    EXPECT_EQ(static_cast<uint8_t>(encoded.back()), 255);
  }
}

TEST(SettingsDecodeTest, ValuesAndDefaults) {
  SettingsValues v = DecodePlain(kPlain);
  EXPECT_EQ(v.magicCookie, 0x0A0B0C0Du);
  EXPECT_EQ(v.discoveryPort, 64513);
  EXPECT_EQ(v.multicastGroup, inet_addr("239.255.255.100"));
  EXPECT_EQ(v.monitorPollingIntervalMs, 15000u);
  EXPECT_EQ(v.igmpReportIntervalMs, 120000u);

  v = DecodePlain("magic_cookie=0a0b0c0d\r\nmonitor_polling_interval=5");
  EXPECT_EQ(v.discoveryPort, 64513);
  EXPECT_EQ(v.multicastGroup, inet_addr("239.255.255.100"));
  EXPECT_EQ(v.monitorPollingIntervalMs, 5000u);
  EXPECT_EQ(v.igmpReportIntervalMs, 120000u);
  EngineSettings s;
  ApplySettings(v, &s);
  EXPECT_EQ(s.unicastPort.load(), 64514);
  EXPECT_EQ(s.switchPort.load(), 64515);
  EXPECT_EQ(s.multicastPort.load(), 64519);

  EXPECT_EQ(DecodePlain("udp_discovery_port=FC01").discoveryPort, 64513);
  EXPECT_EQ(DecodePlain("udp_discovery_port=fC01").discoveryPort, 64513);
  EXPECT_EQ(DecodePlain("udp_discovery_port=fc0x").discoveryPort, 0);
  EXPECT_EQ(DecodePlain("udp_discovery_port=fc1\r\n").discoveryPort, 0);
  EXPECT_EQ(DecodePlain("magic_cookie=12g45678").magicCookie, 0u);
  EXPECT_EQ(DecodePlain("magic_cookie=0a0b").magicCookie, 0u);
  EXPECT_EQ(DecodePlain("magic_cookie=FFFFFFFF99").magicCookie, 0xFFFFFFFFu);
  EXPECT_EQ(DecodePlain("monitor_polling_interval=123456").monitorPollingIntervalMs, 1234000u);
  EXPECT_EQ(DecodePlain("monitor_polling_interval=12x4").monitorPollingIntervalMs, 12000u);
  EXPECT_EQ(DecodePlain("monitor_polling_interval=-5").monitorPollingIntervalMs, 0u);
  EXPECT_EQ(DecodePlain("igmp_report_interval=\r\nx=1").igmpReportIntervalMs, 0u);
  EXPECT_EQ(DecodePlain("multicast_group=239.1.2.300").multicastGroup, 0xFFFFFFFFu);
  EXPECT_EQ(DecodePlain("multicast_group=224.0.0.251\r\n").multicastGroup, inet_addr("224.0.0.251"));

  // Derived ports wrap around.
  ApplySettings(DecodePlain("udp_discovery_port=fffe"), &s);
  EXPECT_EQ(s.unicastPort.load(), 65535);
  EXPECT_EQ(s.switchPort.load(), 0);
  EXPECT_EQ(s.multicastPort.load(), 4);

  SettingsValues untouched;
  untouched.magicCookie = 42;
  std::string bad = EncodeSettings(kPlain);
  bad.back() = static_cast<char>(bad.back() - 1);
  EXPECT_FALSE(DecodeSettings(bad, &untouched));
  EXPECT_EQ(untouched.magicCookie, 42u);
}

TEST(SettingsDecodeTest, ChecksumByteIsNoPartOfTheLastValue) {
  // Find a file whose first checksum byte unscrambles to a digit.
  for (unsigned cookie = 0; cookie < 100000; ++cookie) {
    std::string encoded = EncodeSettings(PlainWithCookie(cookie));
    uint8_t first = static_cast<uint8_t>(encoded[encoded.size() - 2]);
    uint8_t plain = UnscrambleByte(first);
    if (plain < '0' || plain > '9') continue;
    SettingsValues v;
    ASSERT_TRUE(DecodeSettings(encoded, &v));
    EXPECT_EQ(v.igmpReportIntervalMs, 120000u);
    return;
  }
  FAIL() << "no cookie gave a digit checksum byte";
}

TEST_F(SettingsFileTest, ReaderLineHandling) {
  std::string encoded = EncodeSettings(kPlain);
  // Lone LF line ends are read as CR LF.
  std::string lf_only;
  for (char c : encoded) {
    if (c != '\r') lf_only.push_back(c);
  }
  Store(lf_only);
  EXPECT_EQ(ReadBack(), encoded);

  // A CR LF pair split by the 119-character read limit stays one line end.
  std::string long_line = std::string(118, 'x') + "\r\n" + kPlain;
  encoded = EncodeSettings(long_line);
  Store(encoded);
  EXPECT_EQ(ReadBack(), encoded);

  // At most 510 bytes are read.
  Store(std::string(600, 'y'));
  EXPECT_EQ(ReadBack().size(), 510u);

  std::string content;
  EXPECT_FALSE(ReadSettingsBytes((dir_ + "/missing.ecf").c_str(), &content));
}

TEST_F(SettingsFileTest, UsualChecksumBytesOutsideTheTextSurvive) {
  // A file written with the usual pair whose first byte is NUL, CR or Ctrl-Z.
  for (unsigned target : {0u, 13u, 26u}) {
    bool found = false;
    for (unsigned i = 0; i < 200000 && !found; ++i) {
      const uint32_t cookie = i * 0x9E3779B1u;  // varies all eight digits
      std::string text = PlainWithCookie(cookie);
      ScrambleText(&text);
      if (UsualFirstByte(text) != target) continue;
      found = true;
      Store(text + static_cast<char>(target) + '\xff');
      SettingsValues v;
      EXPECT_TRUE(DecodeSettings(ReadBack(), &v)) << "first checksum byte " << target;
      EXPECT_EQ(v.magicCookie, cookie);
    }
    EXPECT_TRUE(found) << target;
  }
}

TEST_F(SettingsFileTest, ReadAppliesSettingsOrChangesNothing) {
  EngineSettings s;
  FillSentinels(&s);
  EXPECT_EQ(SettingsReadFrom(path_.c_str(), &s), 0);  // no file
  ExpectSentinels(s);

  std::string bad = EncodeSettings(kPlain);
  bad[bad.size() - 2] = static_cast<char>(bad[bad.size() - 2] + 1);
  Store(bad);
  EXPECT_EQ(SettingsReadFrom(path_.c_str(), &s), 0);
  ExpectSentinels(s);

  // A valid file on a port nobody holds.
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  uint16_t port = ntohs(addr.sin_port);

  // Held by a socket that does not share: the check fails and says so.
  EXPECT_EQ(CheckDiscoveryPort(port, &s), 0);
  EXPECT_TRUE(s.portInUse.load());
  close(probe);

  char plain[128];
  std::snprintf(plain, sizeof(plain), "udp_discovery_port=%04x\r\nigmp_report_interval=60", port);
  Store(EncodeSettings(plain));
  EXPECT_EQ(SettingsReadFrom(path_.c_str(), &s), 1);
  EXPECT_FALSE(s.portInUse.load());
  EXPECT_EQ(s.magicCookie.load(), 0u);
  EXPECT_EQ(s.discoveryPort.load(), port);
  EXPECT_EQ(s.multicastPort.load(), static_cast<uint16_t>(port + 6));
  EXPECT_EQ(s.multicastGroup.load(), inet_addr("239.255.255.100"));
  EXPECT_EQ(s.monitorPollingIntervalMs.load(), 15000u);
  EXPECT_EQ(s.igmpReportIntervalMs.load(), 60000u);
}

TEST_F(SettingsFileTest, WriterRewritesOnlyTheIntervals) {
  EngineSettings s;
  s.monitorPollingIntervalMs = 30999;  // whole seconds are written
  s.igmpReportIntervalMs = 90000;
  s.fileRead = true;
  EXPECT_EQ(SettingsWriteTo(path_.c_str(), s), 0);  // no file

  Store(EncodeSettings(kPlain));
  EXPECT_EQ(SettingsWriteTo(path_.c_str(), s), 1);
  std::string written = Load();
  SettingsValues v;
  ASSERT_TRUE(DecodeSettings(written, &v));
  EXPECT_EQ(v.magicCookie, 0x0A0B0C0Du);
  EXPECT_EQ(v.discoveryPort, 64513);
  EXPECT_EQ(v.multicastGroup, inet_addr("239.255.255.100"));
  EXPECT_EQ(v.monitorPollingIntervalMs, 30000u);
  EXPECT_EQ(v.igmpReportIntervalMs, 90000u);
  EXPECT_EQ(SettingsPlainText(written),
            "magic_cookie=0a0b0c0d\r\nudp_discovery_port=fc01\r\nmulticast_group=239.255.255.100"
            "\r\nmonitor_polling_interval=30\r\nigmp_report_interval=90");

  // Without the polling key the file is left as it is.
  std::string no_key = EncodeSettings("magic_cookie=0a0b0c0d\r\nigmp_report_interval=120");
  Store(no_key);
  EXPECT_EQ(SettingsWriteTo(path_.c_str(), s), 1);
  EXPECT_EQ(Load(), no_key);

  // A rewrite that would outgrow what the reader takes keeps the old file.
  std::string full = EncodeSettings(std::string(455, 'x') +
                                    "\r\nmonitor_polling_interval=1\r\nigmp_report_interval=1");
  ASSERT_LE(full.size(), kSettingsMaxContent);
  Store(full);
  s.monitorPollingIntervalMs = 4000000000u;
  EXPECT_EQ(SettingsWriteTo(path_.c_str(), s), 0);
  EXPECT_EQ(Load(), full);
}

TEST_F(SettingsFileTest, WriterKeepsEveryOtherLineAndAnIgmpIntervalItDoesNotKnow) {
  // Keys in another order, with a line after the intervals.
  const std::string plain =
      "magic_cookie=0a0b0c0d\r\nmonitor_polling_interval=15\r\nigmp_report_interval=120\r\n"
      "multicast_group=239.1.2.3\r\nudp_discovery_port=fc05";
  // Before any read (SetRefreshTime before the engine start) the IGMP
  // interval in memory is 0 and not the file's: the file keeps its own.
  EngineSettings fresh;
  fresh.monitorPollingIntervalMs = 30000;
  Store(EncodeSettings(plain));
  ASSERT_EQ(SettingsWriteTo(path_.c_str(), fresh), 1);
  std::string written = ReadBack();
  EXPECT_EQ(SettingsPlainText(written),
            "magic_cookie=0a0b0c0d\r\nmonitor_polling_interval=30\r\nigmp_report_interval=120\r\n"
            "multicast_group=239.1.2.3\r\nudp_discovery_port=fc05");
  SettingsValues v;
  ASSERT_TRUE(DecodeSettings(written, &v));
  EXPECT_EQ(v.multicastGroup, inet_addr("239.1.2.3"));
  EXPECT_EQ(v.discoveryPort, 0xfc05);
  EXPECT_EQ(v.igmpReportIntervalMs, 120000u);

  // An interval the client set is written, in place.
  fresh.igmpReportIntervalMs = 7000;
  fresh.igmpIntervalByClient = true;
  ASSERT_EQ(SettingsWriteTo(path_.c_str(), fresh), 1);
  ASSERT_TRUE(DecodeSettings(ReadBack(), &v));
  EXPECT_EQ(v.igmpReportIntervalMs, 7000u);
  EXPECT_EQ(v.discoveryPort, 0xfc05);

  // Without an IGMP line: none is made up, unless the value is known.
  Store(EncodeSettings("magic_cookie=0a0b0c0d\r\nmonitor_polling_interval=15"));
  EngineSettings unread;
  unread.monitorPollingIntervalMs = 9000;
  ASSERT_EQ(SettingsWriteTo(path_.c_str(), unread), 1);
  EXPECT_EQ(SettingsPlainText(ReadBack()), "magic_cookie=0a0b0c0d\r\nmonitor_polling_interval=9");
  ASSERT_EQ(SettingsWriteTo(path_.c_str(), fresh), 1);
  EXPECT_EQ(SettingsPlainText(ReadBack()),
            "magic_cookie=0a0b0c0d\r\nmonitor_polling_interval=30\r\nigmp_report_interval=7");
}

TEST_F(SettingsFileTest, WriterKeepsAKeyThatStandsInARewrittenValue) {
  // The reader finds each key anywhere, so these lines set the cookie and
  // the monitor interval; rewriting the intervals must keep both.
  Store(EncodeSettings("igmp_report_interval=monitor_polling_interval=121\r\n"
                       "x=magic_cookie=0a0b0c0d"));
  SettingsValues before;
  ASSERT_TRUE(DecodeSettings(ReadBack(), &before));
  ASSERT_EQ(before.monitorPollingIntervalMs, 121000u);
  EngineSettings s;
  s.monitorPollingIntervalMs = 17000;
  s.igmpReportIntervalMs = 33000;
  s.igmpIntervalByClient = true;
  ASSERT_EQ(SettingsWriteTo(path_.c_str(), s), 1);
  SettingsValues after;
  ASSERT_TRUE(DecodeSettings(ReadBack(), &after));
  EXPECT_EQ(after.monitorPollingIntervalMs, 17000u);
  EXPECT_EQ(after.igmpReportIntervalMs, 33000u);
  EXPECT_EQ(after.magicCookie, before.magicCookie);

  Store(EncodeSettings("monitor_polling_interval=5 magic_cookie=0a0b0c0d"));
  ASSERT_EQ(SettingsWriteTo(path_.c_str(), s), 1);
  ASSERT_TRUE(DecodeSettings(ReadBack(), &after));
  EXPECT_EQ(after.monitorPollingIntervalMs, 17000u);
  EXPECT_EQ(after.magicCookie, 0x0a0b0c0du);
}

TEST_F(SettingsFileTest, ReadKeepsTheIntervalsTheClientSetBeforeIt) {
  Store(EncodeSettings(kPlain));
  EngineSettings s;
  s.igmpReportIntervalMs = 5000;
  s.igmpIntervalByClient = true;
  SettingsReadFrom(path_.c_str(), &s);  // the port check may fail here; the values are read
  EXPECT_TRUE(s.fileRead.load());
  EXPECT_EQ(s.igmpReportIntervalMs.load(), 5000u);
  EXPECT_EQ(s.monitorPollingIntervalMs.load(), 15000u);
  EXPECT_EQ(s.magicCookie.load(), 0x0A0B0C0Du);

  EngineSettings t;
  t.monitorPollingIntervalMs = 2000;
  t.monitorIntervalByClient = true;
  SettingsReadFrom(path_.c_str(), &t);
  EXPECT_EQ(t.monitorPollingIntervalMs.load(), 2000u);
  EXPECT_EQ(t.igmpReportIntervalMs.load(), 120000u);
}

TEST_F(SettingsFileTest, WriterAvoidsChecksumBytesThatTextModeLoses) {
  const std::string base = EncodeSettings(kPlain);
  for (unsigned target : {0u, 10u, 26u}) {
    bool found = false;
    for (uint32_t seconds = 0; seconds < 10000 && !found; ++seconds) {
      std::string out;
      ASSERT_TRUE(ReplaceIntervals(base, seconds * 1000, 120000, &out));
      if (UsualFirstByte(out.substr(0, out.size() - 2)) != target) continue;
      found = true;
      Store(base);
      EngineSettings s;
      s.monitorPollingIntervalMs = seconds * 1000;
      s.igmpReportIntervalMs = 120000;
      ASSERT_EQ(SettingsWriteTo(path_.c_str(), s), 1);
      std::string written = Load();
      for (size_t i = written.size() - 2; i < written.size(); ++i) {
        uint8_t b = static_cast<uint8_t>(written[i]);
        EXPECT_TRUE(b != 0 && b != '\n' && b != 26) << "byte " << unsigned(b);
      }
      SettingsValues v;
      ASSERT_TRUE(DecodeSettings(ReadBack(), &v)) << "usual first byte " << target;
      EXPECT_EQ(v.monitorPollingIntervalMs, seconds * 1000);
      EXPECT_EQ(v.igmpReportIntervalMs, 120000u);
    }
    EXPECT_TRUE(found) << target;
  }
}

}  // namespace
}  // namespace torvane
