// Tests of the upgrade state machine, driven by hand: handlers get made-up
// records and the tick runs on a clock the test moves. The test process's
// adapter list is empty, so the engine's sends go nowhere and no static
// ARP entry is made; the tests refuse to run otherwise.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/adapters.h"
#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/settings.h"
#include "engine/upgrade.h"

namespace torvane {
namespace {

constexpr uint32_t kCookie = 0x0A0B0C0D;
const uint8_t kMacA[6] = {0x02, 0, 0, 0, 0, 0x0A};
const uint8_t kMacB[6] = {0x02, 0, 0, 0, 0, 0x0B};
const char kIpA[] = "10.7.0.10";
const char kIpB[] = "10.7.0.11";
constexpr uint16_t kPortA = 40001;

// Starts just below the wrap of the 32-bit tick, so that every age is
// computed across it.
uint32_t g_now = 0xFFFFF000u;
uint32_t FakeClock() { return g_now; }

AgentRecord Record(const uint8_t* mac, const char* ip, uint32_t eraseWait, uint32_t rebootWait,
                   const char* password = "secret") {
  AgentRecord rec;
  memset(&rec, 0, sizeof(rec));
  memcpy(rec.macAddr, mac, 6);
  inet_pton(AF_INET, ip, rec.agentIpAddr);
  inet_pton(AF_INET, "255.255.255.0", rec.agentNetmask);
  strncpy(rec.oldPassword, password, sizeof(rec.oldPassword));
  rec.upgradeEreaseFlashTime = eraseWait;
  rec.upgradeRebootTime = rebootWait;
  return rec;
}

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (LocalAddressCount() != 0) GTEST_SKIP() << "the adapter list must be empty here";
    Settings().magicCookie = kCookie;
    SetUpgradeClock(&FakeClock);
    ClearUpgradeTable();
    char dir[] = "/tmp/upgrade_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    ClearUpgradeTable();
    SetUpgradeClock(nullptr);
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // Writes a firmware file of size bytes (byte i is i * 7) and makes it
  // the firmware path.
  std::string Firmware(size_t size, const char* name = "fw.bin") {
    std::string path = dir_ + "/" + name;
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (size) fwrite(bytes.data(), 1, size, f);
    fclose(f);
    EXPECT_TRUE(SetFirmwarePath(path.c_str()));
    return path;
  }

  static void Queue(const AgentRecord& rec) { ASSERT_EQ(AddUpgradeEntry(&rec), 1); }

  // The sequence number of the engine's latest upgrade command: the last
  // number taken before this call (which takes one more).
  static uint16_t LastTaken() {
    uint16_t s = TakeSequenceNumber();
    return s == 1 ? 0xFFFF : static_cast<uint16_t>(s - 1);
  }

  static ReceivedPacket DeviceReply(uint16_t type, const uint8_t* mac, uint16_t status,
                                    uint16_t sequence, uint32_t cookie = kCookie) {
    ReceivedPacket p;
    BuildHeader(p.data, type);
    PutBe32(p.data + kOffCookie, cookie);
    memcpy(p.data + kOffMac, mac, 6);
    PutBe16(p.data + kOffStatus, status);
    PutBe16(p.data + kOffSequence, sequence);
    p.length = kHeaderSize;
    p.msgType = type;
    p.sequence = sequence;
    memcpy(p.mac, mac, 6);
    p.recvTick = g_now;
    return p;
  }

  static ReceivedPacket Tftp(const char* ip, uint16_t port, uint16_t opcode, uint16_t block,
                             uint32_t length = 4) {
    ReceivedPacket p;
    PutBe16(p.data, opcode);
    PutBe16(p.data + 2, block);
    p.length = length;
    p.isTftp = 1;
    p.source.sin_family = AF_INET;
    p.source.sin_port = htons(port);
    inet_pton(AF_INET, ip, &p.source.sin_addr);
    p.sourceLength = sizeof(p.source);
    p.recvTick = g_now;
    return p;
  }

  static UpgradeStatusCopy Status(const uint8_t* mac) {
    UpgradeStatusCopy s;
    EXPECT_EQ(QueryUpgradeStatus(mac, &s), 1);
    return s;
  }

  static void Tick(uint32_t ms) {
    g_now += ms;
    UpgradeTick();
  }

  // Starts the first queued entry for mac and has the switch accept it.
  static void StartAndAccept(const uint8_t* mac) {
    ASSERT_EQ(StartNextQueuedEntry(), 1);
    EXPECT_EQ(HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, mac, 0, LastTaken())), 1);
    ASSERT_EQ(Status(mac).state, kUpgradeWriteSent);
  }

  std::string dir_;
};

TEST(UpgradeMessagesTest, LayoutOfEveryPacketTheEngineBuilds) {
  Settings().magicCookie = kCookie;
  uint8_t buf[kMaxDatagram];
  size_t n = BuildUpgradeCommand(buf, kMacA, 0x1234, "pw123", 5);
  ASSERT_EQ(n, 49u);  // 44 + the password
  EXPECT_EQ(GetBe16(buf + kOffType), kMsgUpgradeCommand);
  EXPECT_EQ(GetBe32(buf + kOffCookie), kCookie);
  EXPECT_EQ(memcmp(buf + kOffMac, kMacA, 6), 0);
  EXPECT_EQ(GetBe16(buf + kOffSequence), 0x1234);
  EXPECT_EQ(GetBe16(buf + 40), 9);
  EXPECT_EQ(GetBe16(buf + 42), 9);  // value + 4
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 44), 5), "pw123");

  ASSERT_EQ(BuildUpgradeProbe(buf), kHeaderSize);
  EXPECT_EQ(GetBe16(buf + kOffType), kMsgDiscoveryRequest);
  EXPECT_EQ(GetBe16(buf + kOffSequence), 0);
  EXPECT_EQ(memcmp(buf + kOffMac, "\0\0\0\0\0\0", 6), 0);

  n = BuildWriteRequest(buf, "dir/fw.bin", 10);
  ASSERT_EQ(n, 19u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n),
            std::string("\0\2dir/fw.bin\0octet\0", 19));

  uint8_t data[512];
  memset(data, 0xAB, sizeof(data));
  EXPECT_EQ(BuildDataBlock(buf, 0xFFFF, data, 512), 516u);
  EXPECT_EQ(GetBe16(buf), 3);
  EXPECT_EQ(GetBe16(buf + 2), 0xFFFF);
  EXPECT_EQ(BuildDataBlock(buf, 7, nullptr, 0), 4u);
  EXPECT_EQ(BuildDataBlock(buf, 7, data, 513), 0u);
}

TEST_F(UpgradeTest, FullRunWithEraseWaitAndAFileOfWholeBlocks) {
  Firmware(1024);
  Queue(Record(kMacA, kIpA, 2, 5));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  uint16_t seq = LastTaken();
  UpgradeStatusCopy s = Status(kMacA);
  EXPECT_EQ(s.active, 1u);
  EXPECT_EQ(s.state, kUpgradeCommandSent);
  EXPECT_EQ(s.firmwareSize, 1024u);

  // A reply to another command, and one from another switch, change nothing.
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, static_cast<uint16_t>(seq + 1)));
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacB, 0, seq));
  EXPECT_EQ(Status(kMacA).state, kUpgradeCommandSent);
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, seq));
  EXPECT_EQ(Status(kMacA).state, kUpgradeWriteSent);

  // Block 0 acknowledged from the switch's transfer port: block 1 goes out
  // and the flash erase begins, with one resend a second.
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeErasing);
  EXPECT_EQ(s.blockCount, 1u);
  EXPECT_EQ(s.transmitted, 512u);
  Tick(999);
  EXPECT_EQ(Status(kMacA).retryCount, 0u);
  Tick(1);
  EXPECT_EQ(Status(kMacA).retryCount, 1u);

  // Another port, or an older block, is ignored; resends do not count as
  // transmitted bytes.
  HandleUpgradeTftp(Tftp(kIpA, kPortA + 1, kTftpOpAck, 1));
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeErasing);
  EXPECT_EQ(s.transmitted, 512u);

  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
  s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeTransferring);
  EXPECT_EQ(s.blockCount, 2u);
  EXPECT_EQ(s.retryCount, 0u);
  EXPECT_EQ(s.transmitted, 1024u);

  // Block 3 carries no data: the file is a multiple of 512 bytes.
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 2));
  s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeLastBlockSent);
  EXPECT_EQ(s.blockCount, 3u);
  EXPECT_EQ(s.transmitted, 1024u);
  HandleUpgradeTftp(Tftp(kIpA, kPortA + 1, kTftpOpAck, 3));  // wrong port
  EXPECT_EQ(Status(kMacA).state, kUpgradeLastBlockSent);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 3));
  EXPECT_EQ(Status(kMacA).state, kUpgradeRebooting);

  // Reboot wait 5 s, then probes once a second until the switch answers.
  Tick(4000);
  EXPECT_EQ(Status(kMacA).state, kUpgradeRebooting);
  Tick(1000);
  EXPECT_EQ(Status(kMacA).state, kUpgradeProbing);
  Tick(1000);
  Tick(1000);
  EXPECT_EQ(Status(kMacA).probeCount, 2u);
  ReceivedPacket reply = DeviceReply(kMsgDiscoveryReply, kMacA, 0, 0);
  reply.length = static_cast<uint32_t>(
      kHeaderSize + PutTlv(reply.data, kMaxDatagram, kHeaderSize, 11, "2.0.0", 5));
  HandleUpgradeDiscovery(reply);
  s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeSucceeded);
  EXPECT_EQ(s.active, 0u);
  ASSERT_EQ(s.replyLength, reply.length);
  EXPECT_EQ(memcmp(s.replyCopy, reply.data, reply.length), 0);
  uint8_t mac[6];
  uint8_t ip[4];
  EXPECT_EQ(QueryUpgradingSwitch(mac, ip), 0);
}

TEST_F(UpgradeTest, SmallFileSkipsTheEraseWait) {
  Firmware(300);
  Queue(Record(kMacA, kIpA, 30, 0));
  StartAndAccept(kMacA);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  UpgradeStatusCopy s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeLastBlockSent);
  EXPECT_EQ(s.transmitted, 300u);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
  EXPECT_EQ(Status(kMacA).state, kUpgradeRebooting);
  // Reboot wait 0 stands for 110 s.
  Tick(109999);
  EXPECT_EQ(Status(kMacA).state, kUpgradeRebooting);
  Tick(1);
  EXPECT_EQ(Status(kMacA).state, kUpgradeProbing);
}

TEST_F(UpgradeTest, CommandResendsAndRestartsShareOneLimit) {
  Firmware(2000);
  Queue(Record(kMacA, kIpA, 0, 1));
  Queue(Record(kMacB, kIpB, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  // Two resends of the unanswered command...
  Tick(1999);
  EXPECT_EQ(Status(kMacA).restartCount, 0u);
  Tick(1);
  Tick(2000);
  EXPECT_EQ(Status(kMacA).restartCount, 2u);
  // ...then the switch answers the latest one; a reply 3 s after the send
  // would have been too late.
  ReceivedPacket late = DeviceReply(kMsgUpgradeReply, kMacA, 0, LastTaken());
  late.recvTick = g_now + 3000;
  HandleUpgradeReply(late);
  EXPECT_EQ(Status(kMacA).state, kUpgradeCommandSent);
  late.recvTick = g_now + 2999;
  HandleUpgradeReply(late);
  EXPECT_EQ(Status(kMacA).state, kUpgradeWriteSent);

  // The write request is resent three times, then one restart is left.
  for (int i = 0; i < 3; ++i) Tick(2000);
  EXPECT_EQ(Status(kMacA).retryCount, 3u);
  Tick(2000);
  UpgradeStatusCopy s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeCommandSent);
  EXPECT_EQ(s.restartCount, 3u);
  EXPECT_EQ(s.retryCount, 0u);
  // No resend of the command is left either: the next tick ends it, and the
  // next queued switch starts by itself.
  Tick(2000);
  s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeFailed);
  EXPECT_EQ(s.failureCode, kUpgradeNoReply);
  EXPECT_EQ(Status(kMacB).state, kUpgradeCommandSent);
}

TEST_F(UpgradeTest, TimeoutsOfEachWaitEndInTheirCodes) {
  Firmware(4096);
  // Erase wait 2: block 1 is resent twice a second apart, then restarted.
  Queue(Record(kMacA, kIpA, 2, 1));
  StartAndAccept(kMacA);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(Status(kMacA).state, kUpgradeErasing);
    Tick(1000);
    Tick(1000);
    EXPECT_EQ(Status(kMacA).retryCount, 2u);
    Tick(1000);
    if (round == 3) break;
    EXPECT_EQ(Status(kMacA).state, kUpgradeCommandSent);
    EXPECT_EQ(Status(kMacA).restartCount, static_cast<uint32_t>(round + 1));
    EXPECT_EQ(Status(kMacA).blockCount, 0u);
    EXPECT_EQ(Status(kMacA).transmitted, 0u);
    // Restarted entries send a new command; answer with its number.
    HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, LastTaken()));
    ASSERT_EQ(Status(kMacA).state, kUpgradeWriteSent);
    HandleUpgradeTftp(Tftp(kIpA, static_cast<uint16_t>(kPortA + round + 1), kTftpOpAck, 0));
  }
  EXPECT_EQ(Status(kMacA).state, kUpgradeFailed);
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeWriteTimeout);
  ClearUpgradeTable();

  // A data block that stays unacknowledged: code 7 once no restart is left.
  Queue(Record(kMacA, kIpA, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  for (int i = 0; i < 3; ++i) Tick(2000);  // three command resends use the limit
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, LastTaken()));
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
  EXPECT_EQ(Status(kMacA).state, kUpgradeTransferring);
  for (int i = 0; i < 3; ++i) Tick(2000);
  EXPECT_EQ(Status(kMacA).state, kUpgradeTransferring);
  Tick(2000);
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeBlockTimeout);
  ClearUpgradeTable();

  // A switch that never comes back: 60 probes, then code 8.
  Firmware(100);
  Queue(Record(kMacA, kIpA, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  for (int i = 0; i < 3; ++i) Tick(2000);
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, LastTaken()));
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
  Tick(1000);
  ASSERT_EQ(Status(kMacA).state, kUpgradeProbing);
  // A loader-mode answer never reaches this handler; a reply of another
  // switch or with a wrong cookie does not count.
  EXPECT_EQ(HandleUpgradeDiscovery(DeviceReply(kMsgDiscoveryReply, kMacA, 0, 0, ~kCookie)), 0);
  HandleUpgradeDiscovery(DeviceReply(kMsgDiscoveryReply, kMacB, 0, 0));
  for (int i = 0; i < 60; ++i) Tick(1000);
  EXPECT_EQ(Status(kMacA).probeCount, 60u);
  EXPECT_EQ(Status(kMacA).state, kUpgradeProbing);
  Tick(1000);
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeProbeTimeout);
}

TEST_F(UpgradeTest, RefusalAndTftpErrorsAndTheQueue) {
  Firmware(2048);
  Queue(Record(kMacA, kIpA, 0, 1));
  Queue(Record(kMacB, kIpB, 0, 1));
  Queue(Record(kMacA, kIpA, 0, 1));  // queued twice: the status shows this one

  // Statuses other than 0 and 2, and a wrong cookie, are dropped unread.
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  uint16_t seq = LastTaken();
  EXPECT_EQ(HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 1, seq)), 0);
  EXPECT_EQ(HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, seq, ~kCookie)), 0);
  UpgradeStatusCopy s = Status(kMacA);  // the later, queued entry
  EXPECT_EQ(s.state, kUpgradeQueued);
  EXPECT_EQ(s.active, 0u);
  EXPECT_EQ(s.firmwareSize, 0u);
  uint8_t mac[6];
  uint8_t ip[4];
  ASSERT_EQ(QueryUpgradingSwitch(mac, ip), 1);
  EXPECT_EQ(memcmp(mac, kMacA, 6), 0);

  // Refusal ends the first entry with code 4 and starts the next.
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 2, seq));
  ASSERT_EQ(QueryUpgradingSwitch(mac, ip), 1);
  EXPECT_EQ(memcmp(mac, kMacB, 6), 0);

  // A TFTP error in answer to the write request ends it with code 9 and
  // leaves the third entry waiting.
  HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacB, 0, LastTaken()));
  ASSERT_EQ(Status(kMacB).state, kUpgradeWriteSent);
  HandleUpgradeTftp(Tftp(kIpB, 50000, kTftpOpError, 0, 20));
  s = Status(kMacB);
  EXPECT_EQ(s.state, kUpgradeFailed);
  EXPECT_EQ(s.failureCode, kUpgradeTftpError);
  EXPECT_EQ(QueryUpgradingSwitch(mac, ip), 0);
  EXPECT_EQ(Status(kMacA).state, kUpgradeQueued);

  // The next start takes it. Mid-transfer, an error from another port is
  // another transfer's business; one from the switch's port ends this one.
  StartAndAccept(kMacA);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  HandleUpgradeTftp(Tftp(kIpA, kPortA + 9, kTftpOpError, 1));
  EXPECT_EQ(Status(kMacA).state, kUpgradeTransferring);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpError, 1));
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeTftpError);
}

TEST_F(UpgradeTest, MalformedAndStrayTftpPacketsChangeNothing) {
  Firmware(2048);
  Queue(Record(kMacA, kIpA, 0, 1));
  StartAndAccept(kMacA);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  UpgradeStatusCopy before = Status(kMacA);

  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1, 3)), 0);     // truncated
  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1, 0)), 0);     // empty
  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpData, 1)), 0);       // not ours
  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpA, kPortA, 2, 1)), 0);                 // a request
  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpB, kPortA, kTftpOpAck, 1)), 1);        // unknown source
  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpB, kPortA, kTftpOpError, 1)), 1);
  EXPECT_EQ(HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 7)), 1);        // future block
  ReceivedPacket shortReply = DeviceReply(kMsgUpgradeReply, kMacA, 0, 1);
  shortReply.length = 20;
  EXPECT_EQ(HandleUpgradeReply(shortReply), 0);
  shortReply.msgType = kMsgDiscoveryReply;
  EXPECT_EQ(HandleUpgradeDiscovery(shortReply), 0);

  UpgradeStatusCopy after = Status(kMacA);
  EXPECT_EQ(after.state, before.state);
  EXPECT_EQ(after.blockCount, before.blockCount);
  EXPECT_EQ(after.transmitted, before.transmitted);
  EXPECT_EQ(after.active, 1u);
}

TEST_F(UpgradeTest, FirmwareFileProblems) {
  // Missing at the start: code 1, and the walk goes on to the next entry.
  SetFirmwarePath((dir_ + "/absent.bin").c_str());
  Queue(Record(kMacA, kIpA, 0, 1));
  EXPECT_EQ(StartNextQueuedEntry(), 0);
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeFileMissing);
  EXPECT_EQ(Status(kMacA).state, kUpgradeFailed);
  ClearUpgradeTable();

  // Anything but a regular file fails at once with code 1, nothing sent
  // (no upgrade command took a sequence number): a FIFO (which must not
  // block the caller either), a device that never ends, a directory, and
  // a link to any of them.
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string link = dir_ + "/link";
  ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);
  for (const std::string& special : {fifo, std::string("/dev/zero"), dir_, link}) {
    SetFirmwarePath(special.c_str());
    Queue(Record(kMacA, kIpA, 0, 1));
    uint16_t before = TakeSequenceNumber();
    EXPECT_EQ(StartNextQueuedEntry(), 0) << special;
    EXPECT_EQ(TakeSequenceNumber(), before == 0xFFFF ? 1 : before + 1) << special;
    UpgradeStatusCopy s = Status(kMacA);
    EXPECT_EQ(s.state, kUpgradeFailed) << special;
    EXPECT_EQ(s.failureCode, kUpgradeFileMissing) << special;
    EXPECT_EQ(s.firmwareSize, 0u) << special;
    ClearUpgradeTable();
  }

  // Removed during the transfer: code 1 when the next block is due, and
  // the next switch is not started.
  std::string path = Firmware(2048);
  Queue(Record(kMacA, kIpA, 0, 1));
  Queue(Record(kMacB, kIpB, 0, 1));
  StartAndAccept(kMacA);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  ASSERT_EQ(unlink(path.c_str()), 0);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeFileMissing);
  EXPECT_EQ(Status(kMacB).state, kUpgradeQueued);
  ClearUpgradeTable();

  // Replaced by a directory during the transfer: the same.
  path = Firmware(2048);
  Queue(Record(kMacA, kIpA, 0, 1));
  StartAndAccept(kMacA);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeFileMissing);
}

TEST_F(UpgradeTest, SameSwitchQueuedTwiceCompletesBothRuns) {
  Firmware(100);
  for (int run = 0; run < 2; ++run) Queue(Record(kMacA, kIpA, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  for (int run = 0; run < 2; ++run) {
    HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacA, 0, LastTaken()));
    HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
    HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 1));
    Tick(1000);
    HandleUpgradeDiscovery(DeviceReply(kMsgDiscoveryReply, kMacA, 0, 0));
  }
  UpgradeStatusCopy s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeSucceeded);
  EXPECT_GT(s.replyLength, 0u);
}

TEST_F(UpgradeTest, BlockNumbersWrapAndTheBlockAfter65535NeverMatches) {
  // A sparse file of 65535 full blocks: block 65536 goes out as block 0.
  std::string path = dir_ + "/big.bin";
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 65535 * 512), 0);
  close(fd);
  SetFirmwarePath(path.c_str());
  Queue(Record(kMacA, kIpA, 0, 1));
  StartAndAccept(kMacA);
  for (uint32_t block = 0; block < 65536; ++block)
    HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, static_cast<uint16_t>(block)));
  UpgradeStatusCopy s = Status(kMacA);
  EXPECT_EQ(s.blockCount, 65536u);
  EXPECT_EQ(s.state, kUpgradeLastBlockSent);
  HandleUpgradeTftp(Tftp(kIpA, kPortA, kTftpOpAck, 0));
  EXPECT_EQ(Status(kMacA).state, kUpgradeLastBlockSent);
}

// A clock that moves on by 1 ms at every reading, as the real one does
// while the engine sends.
uint32_t SteppingClock() { return g_now++; }

TEST_F(UpgradeTest, ClockMovingWhileTheEngineWorksCostsNoResend) {
  Firmware(2000);
  Queue(Record(kMacA, kIpA, 0, 1));
  Queue(Record(kMacB, kIpB, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  for (int i = 0; i < 3; ++i) Tick(2000);
  ASSERT_EQ(Status(kMacA).restartCount, 3u);

  // A fails in this pass and hands its turn to B, whose command goes out
  // later in the same pass: B must not count as overdue at once.
  SetUpgradeClock(&SteppingClock);
  g_now += 2000;
  UpgradeTick();
  SetUpgradeClock(&FakeClock);
  EXPECT_EQ(Status(kMacA).failureCode, kUpgradeNoReply);
  UpgradeStatusCopy b = Status(kMacB);
  EXPECT_EQ(b.state, kUpgradeCommandSent);
  EXPECT_EQ(b.restartCount, 0u);
}

TEST_F(UpgradeTest, ReplyReadBeforeTheSendWasStampedIsOnTime) {
  Firmware(2000);
  Queue(Record(kMacA, kIpA, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);  // the send is stamped g_now
  // The receive thread read the reply while the command was still going
  // out through the other addresses: 1 ms before the stamp. It is on
  // time, not 49 days late.
  ReceivedPacket reply = DeviceReply(kMsgUpgradeReply, kMacA, 0, LastTaken());
  reply.recvTick = g_now - 1;
  EXPECT_EQ(HandleUpgradeReply(reply), 1);
  UpgradeStatusCopy s = Status(kMacA);
  EXPECT_EQ(s.state, kUpgradeWriteSent);
  EXPECT_EQ(s.restartCount, 0u);
}

TEST_F(UpgradeTest, ClearEmptiesTheTable) {
  Firmware(10);
  Queue(Record(kMacA, kIpA, 0, 1));
  ASSERT_EQ(StartNextQueuedEntry(), 1);
  EXPECT_EQ(ClearUpgradeTable(), 1);
  UpgradeStatusCopy s;
  EXPECT_EQ(QueryUpgradeStatus(kMacA, &s), 0);
  EXPECT_EQ(StartNextQueuedEntry(), 0);
  EXPECT_EQ(AddUpgradeEntry(nullptr), 0);
  // Without the engine there is no timer to arm.
  EXPECT_EQ(ArmUpgradeTimer(), 0);
}

}  // namespace
}  // namespace torvane
