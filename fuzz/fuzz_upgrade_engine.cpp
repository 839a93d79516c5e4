// The upgrade engine driven by upgrade replies, discovery replies, TFTP
// packets and timer ticks in any order, on a fake clock. The engine's
// adapter list is empty, so its sends go nowhere and no neighbour entry is
// made; the invariants of every entry are checked after every step.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/protocol.h"
#include "engine/receive.h"
#include "engine/settings.h"
#include "engine/upgrade.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace torvane;

constexpr uint32_t kCookie = 0x0A0B0C0D;
constexpr int kSwitches = 3;
const uint8_t kMacs[kSwitches][6] = {
    {0x02, 0, 0, 0, 0, 0x0A}, {0x02, 0, 0, 0, 0, 0x0B}, {0x02, 0, 0, 0, 0, 0x0C}};
const char* const kIps[kSwitches] = {"10.7.0.10", "10.7.0.11", "10.7.0.12"};
const uint16_t kPorts[] = {kTftpServerPort, 40001, 40002};
// Firmware sizes: empty, short, whole blocks, partial last block.
const size_t kSizes[] = {0, 100, 1024, 1300};

uint32_t g_now = 0;
uint32_t FakeClock() { return g_now; }
std::vector<std::string> g_files;

uint16_t LastTaken() {
  uint16_t s = TakeSequenceNumber();
  return s == 1 ? 0xFFFF : static_cast<uint16_t>(s - 1);
}

// FUZZ_UPGRADE_TRACE=1 prints every entry's state after every step.
bool g_trace = false;

void CheckInvariants(int entries) {
  for (int i = 0; i < entries; ++i) {
    UpgradeStatusCopy s;
    FUZZ_CHECK(QueryUpgradeStatus(kMacs[i], &s) == 1);
    if (g_trace) {
      fprintf(stderr, "%c%d/%u/%u%s", i ? ' ' : '[', s.state, s.blockCount, s.failureCode,
              i == entries - 1 ? "]\n" : "");
    }
    const bool running = s.state >= kUpgradeCommandSent && s.state <= kUpgradeProbing;
    FUZZ_CHECK(running || s.state == kUpgradeQueued || s.state == kUpgradeSucceeded ||
               s.state == kUpgradeFailed);
    FUZZ_CHECK(s.active == (running ? 1u : 0u));
    FUZZ_CHECK((s.failureCode != kUpgradeNoFailure) == (s.state == kUpgradeFailed));
    FUZZ_CHECK((s.replyLength != 0) == (s.state == kUpgradeSucceeded));
    FUZZ_CHECK(s.replyLength == 0 || s.replyLength >= kHeaderSize);
    FUZZ_CHECK(s.restartCount <= kUpgradeRestartLimit);
    FUZZ_CHECK(s.probeCount <= kUpgradeProbeLimit);
    FUZZ_CHECK(s.retryCount <= std::max<uint32_t>(kUpgradeRetryLimit, 3));
    FUZZ_CHECK(s.transmitted <= s.firmwareSize);
    if (s.state == kUpgradeQueued) {
      FUZZ_CHECK(s.blockCount == 0 && s.transmitted == 0 && s.restartCount == 0);
    }
    if (running) {
      uint64_t sent = uint64_t{s.blockCount} * kTftpBlockSize;
      FUZZ_CHECK(s.transmitted == std::min<uint64_t>(sent, s.firmwareSize));
    }
    if (s.state >= kUpgradeLastBlockSent && s.state <= kUpgradeSucceeded) {
      FUZZ_CHECK(s.transmitted == s.firmwareSize);
      FUZZ_CHECK(s.blockCount == s.firmwareSize / kTftpBlockSize + 1);
    }
  }
}

ReceivedPacket DeviceReply(uint16_t type, const uint8_t* mac, uint16_t status,
                           uint16_t sequence, uint32_t cookie) {
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  torvane_fuzz::IsolateProcess();
  char dir[] = "/tmp/fuzz_upgrade.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  static std::string made;
  made = dir;
  atexit([] { std::filesystem::remove_all(made); });
  for (size_t size : kSizes) {
    std::string path = std::string(dir) + "/fw" + std::to_string(size) + ".bin";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    for (size_t i = 0; i < size; ++i) fputc(static_cast<int>(i * 7 & 0xFF), f);
    fclose(f);
    g_files.push_back(path);
  }
  Settings().magicCookie = kCookie;
  SetUpgradeClock(&FakeClock);
  g_trace = getenv("FUZZ_UPGRADE_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  ClearUpgradeTable();
  g_now = in.ConsumeIntegral<uint32_t>();
  FUZZ_CHECK(SetFirmwarePath(g_files[in.ConsumeIntegralInRange<size_t>(0, g_files.size() - 1)].c_str()));

  const int entries = in.ConsumeIntegralInRange<int>(1, kSwitches);
  for (int i = 0; i < entries; ++i) {
    AgentRecord rec;
    memset(&rec, 0, sizeof(rec));
    memcpy(rec.macAddr, kMacs[i], 6);
    inet_pton(AF_INET, kIps[i], rec.agentIpAddr);
    inet_pton(AF_INET, "255.255.255.0", rec.agentNetmask);
    strcpy(rec.oldPassword, "secret");
    rec.upgradeEreaseFlashTime = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    rec.upgradeRebootTime = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    FUZZ_CHECK(AddUpgradeEntry(&rec) == 1);
  }
  CheckInvariants(entries);
  StartNextQueuedEntry();
  uint16_t sequence = LastTaken();
  CheckInvariants(entries);

  for (int step = 0; step < 300 && in.remaining_bytes() > 0; ++step) {
    const int who = in.ConsumeIntegralInRange<int>(0, kSwitches - 1);
    // A step that (re)sends an upgrade command takes a sequence number;
    // replies may then answer it.
    const uint16_t before = TakeSequenceNumber();
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:  // timer tick
        g_now += in.ConsumeIntegralInRange<uint32_t>(0, 4000);
        UpgradeTick();
        break;
      case 1: {  // upgrade reply to the latest command or another
        uint16_t seq = in.ConsumeBool() ? sequence : in.ConsumeIntegral<uint16_t>();
        uint16_t status = in.PickValueInArray<uint16_t>({0, 0, 2, 1});
        ReceivedPacket p = DeviceReply(kMsgUpgradeReply, kMacs[who], status, seq,
                                       in.ConsumeBool() ? kCookie : 0);
        p.recvTick = g_now + in.ConsumeIntegralInRange<uint32_t>(0, 4000);
        HandleUpgradeReply(p);
        break;
      }
      case 2: {  // discovery reply after the restart
        ReceivedPacket p = DeviceReply(kMsgDiscoveryReply, kMacs[who], 0, 0, kCookie);
        p.length = in.ConsumeIntegralInRange<uint32_t>(0, kMaxDatagram);
        HandleUpgradeDiscovery(p);
        break;
      }
      case 3: {  // TFTP acknowledgement or error
        UpgradeStatusCopy s;
        QueryUpgradeStatus(kMacs[who], &s);
        ReceivedPacket p;
        uint16_t opcode = in.PickValueInArray<uint16_t>({kTftpOpAck, kTftpOpAck, kTftpOpError,
                                                        kTftpOpData});
        uint16_t block = in.ConsumeBool() ? static_cast<uint16_t>(s.blockCount)
                                          : in.ConsumeIntegral<uint16_t>();
        PutBe16(p.data, opcode);
        PutBe16(p.data + 2, block);
        p.length = in.ConsumeIntegralInRange<uint32_t>(0, 8);
        p.isTftp = 1;
        p.source.sin_family = AF_INET;
        p.source.sin_port = htons(in.PickValueInArray(kPorts));
        inet_pton(AF_INET, kIps[who], &p.source.sin_addr);
        p.sourceLength = sizeof(p.source);
        p.recvTick = g_now;
        HandleUpgradeTftp(p);
        break;
      }
      case 4: {  // any bytes to any handler
        ReceivedPacket p;
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(
            in.ConsumeIntegralInRange<size_t>(0, kMaxDatagram));
        if (!bytes.empty()) memcpy(p.data, bytes.data(), bytes.size());
        p.length = static_cast<uint32_t>(bytes.size());
        p.recvTick = g_now;
        inet_pton(AF_INET, kIps[who], &p.source.sin_addr);
        int handler = in.ConsumeIntegralInRange<int>(0, 2);
        if (handler == 0) HandleUpgradeReply(p);
        if (handler == 1) HandleUpgradeDiscovery(p);
        if (handler == 2) HandleUpgradeTftp(p);
        break;
      }
      case 5: {  // the switch does what the engine waits for, so runs get far
        UpgradeStatusCopy s;
        QueryUpgradeStatus(kMacs[who], &s);
        if (s.state == kUpgradeCommandSent) {
          HandleUpgradeReply(DeviceReply(kMsgUpgradeReply, kMacs[who], 0, sequence, kCookie));
        } else if (s.state >= kUpgradeWriteSent && s.state <= kUpgradeLastBlockSent) {
          ReceivedPacket p;
          PutBe16(p.data, kTftpOpAck);
          PutBe16(p.data + 2, static_cast<uint16_t>(s.blockCount));
          p.length = kTftpHeaderSize;
          p.isTftp = 1;
          p.source.sin_family = AF_INET;
          p.source.sin_port = htons(kPorts[1]);
          inet_pton(AF_INET, kIps[who], &p.source.sin_addr);
          p.sourceLength = sizeof(p.source);
          p.recvTick = g_now;
          HandleUpgradeTftp(p);
        } else if (s.state == kUpgradeRebooting) {
          g_now += kUpgradeDefaultRebootMs;
          UpgradeTick();
        } else if (s.state == kUpgradeProbing) {
          ReceivedPacket p = DeviceReply(kMsgDiscoveryReply, kMacs[who], 0, 0, kCookie);
          p.length = kHeaderSize + in.ConsumeIntegralInRange<uint32_t>(0, 64);
          HandleUpgradeDiscovery(p);
        }
        break;
      }
      default:  // the clock jumps, backwards as well
        g_now += in.ConsumeIntegral<uint32_t>();
        break;
    }
    const uint16_t after = LastTaken();
    if (after != before) sequence = after;
    CheckInvariants(entries);
  }
  ClearUpgradeTable();
  return 0;
}
