#include "tools/torvanectl/format.h"

#include <gtest/gtest.h>

namespace torvanectl {
namespace {

TEST(TorvanectlFields, ParsesEachKindIntoTheContractElement) {
  FieldEdit e;
  FieldError err;
  ASSERT_TRUE(ParseFieldEdit("name=core-sw=1", &e, &err));  // only the first '=' splits
  EXPECT_EQ(e.element, "systemName");
  EXPECT_EQ(e.value, "core-sw=1");
  ASSERT_TRUE(ParseFieldEdit("IP=10.0.0.7", &e, &err));
  EXPECT_EQ(e.element, "agentIpAddr");
  ASSERT_TRUE(ParseFieldEdit("dhcp=Off", &e, &err));
  EXPECT_EQ(e.element, "dhcpMode");
  EXPECT_EQ(e.value, 0);
  ASSERT_TRUE(ParseFieldEdit("snmp=yes", &e, &err));
  EXPECT_EQ(e.value, 1);
  ASSERT_TRUE(ParseFieldEdit("group-timer=4294967295", &e, &err));
  EXPECT_EQ(e.value, 4294967295u);
  ASSERT_TRUE(ParseFieldEdit("location=", &e, &err));  // clearing a text is a change
  EXPECT_EQ(e.value, "");
  ASSERT_TRUE(ParseFieldEdit("new-password=s3cret", &e, &err));
  EXPECT_EQ(e.element, "newPasseord");
}

TEST(TorvanectlFields, RefusesWhatTheSwitchCannotTake) {
  FieldEdit e;
  FieldError err;
  for (const char* bad : {"name", "=x", "colour=red", "ip=10.0.0", "ip=10.0.0.256",
                          "ip=10.0.0.1.2", "ip=1..2.3", "netmask= 255.0.0.0", "dhcp=maybe",
                          "group-timer=-1", "group-timer=4294967296", "group-timer=1e3"}) {
    err.message.clear();
    EXPECT_FALSE(ParseFieldEdit(bad, &e, &err)) << bad;
    EXPECT_FALSE(err.message.empty()) << bad;
  }
  ParseFieldEdit("colour=red", &e, &err);
  EXPECT_NE(err.message.find("new-password"), std::string::npos) << "lists the fields";
}

TEST(TorvanectlMac, AcceptsCommonSpellingsAndWritesTheServersForm) {
  std::string mac;
  for (const char* in : {"02-00-5e-10-0a-01", "02:00:5E:10:0A:01", "02005e100a01",
                         "0200.5e10.0a01"}) {
    ASSERT_TRUE(NormalizeMac(in, &mac)) << in;
    EXPECT_EQ(mac, "02-00-5E-10-0A-01") << in;
  }
  for (const char* bad : {"", "02-00-5e-10-0a", "02-00-5e-10-0a-01-02", "02:00-5e:10:0a:01",
                          "020-05e-10-0a-01-0", "g2-00-5e-10-0a-01", "02--00-5e-10-0a-01"}) {
    EXPECT_FALSE(NormalizeMac(bad, &mac)) << bad;
  }
}

TEST(TorvanectlTable, AlignsByCharactersNotBytes) {
  std::string t = FormatTable({"NAME", "IP"}, {{"Łódź", "10.0.0.1"}, {"core", "10.0.0.22"}});
  EXPECT_EQ(t,
            "NAME  IP\n"
            "Łódź  10.0.0.1\n"
            "core  10.0.0.22\n");
  // An empty last column leaves no trailing blanks.
  EXPECT_EQ(FormatTable({"A", "B"}, {{"x", ""}}), "A  B\nx\n");
}

TEST(TorvanectlCsv, QuotesOnlyWhereNeeded) {
  std::string csv = FormatCsv({"a", "b"}, {{"plain", "with, comma"}, {"say \"hi\"", "two\nlines"}});
  EXPECT_EQ(csv,
            "a,b\r\n"
            "plain,\"with, comma\"\r\n"
            "\"say \"\"hi\"\"\",\"two\nlines\"\r\n");
}

TEST(TorvanectlFilter, MatchesAnyColumnIgnoringCase) {
  Json s = {{"systemName", "Core-SW"}, {"agentIpAddr", "10.1.2.3"}, {"dhcpMode", 1}};
  EXPECT_TRUE(MatchesFilter(s, {"systemName", "agentIpAddr"}, "core"));
  EXPECT_TRUE(MatchesFilter(s, {"systemName", "agentIpAddr"}, "1.2."));
  EXPECT_FALSE(MatchesFilter(s, {"systemName"}, "1.2."));
  EXPECT_TRUE(MatchesFilter(s, {"systemName"}, ""));
  EXPECT_EQ(Cell(s, "dhcpMode"), "1");
  EXPECT_EQ(Cell(s, "missing"), "");
}

}  // namespace
}  // namespace torvanectl
