#include "engine/igmp.h"


#include <linux/filter.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/adapters.h"
#include "engine/engine.h"
#include "engine/settings.h"
#include "platform/tick.h"
#include "platform/udp_socket.h"

namespace torvane {
namespace {

constexpr auto kCheckPeriod = std::chrono::milliseconds(1000);

std::atomic<bool> g_started{false};
std::atomic<bool> g_stopped{false};

// A raw IGMP socket is handed a copy of every IGMP packet the host
// receives, our own looped-back reports included. Nothing reads this one,
// so a filter that accepts nothing keeps its receive queue empty.
void DiscardIncoming(int fd) {
  struct sock_filter drop_all[] = {{BPF_RET | BPF_K, 0, 0, 0}};
  struct sock_fprog prog;
  prog.len = 1;
  prog.filter = drop_all;
  setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog));
}

// Sends the report to group from localAddr, leaving by ifindex. Without
// the interface the system would pick one route for the group (or none at
// all on a host without a default route), and the other segments would
// never hear the report. TTL (1) and options stay at the system's
// defaults for multicast; the kernel writes the IP header.

void ReportThread() {
  // Without the rights for raw sockets fd is -1: the thread still runs
  // and every send fails silently.
  int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_IGMP);
  if (fd >= 0) DiscardIncoming(fd);

  // The group is taken once: a later change of the setting does not
  // change the report.
  const uint32_t group = Settings().multicastGroup.load();
  uint8_t report[kIgmpReportSize];
  BuildIgmpReport(group, report);

  bool sentBefore = false;
  uint32_t lastTick = 0;
  for (;;) {
    uint32_t interval = Settings().igmpReportIntervalMs.load();
    uint32_t now = GetTickMs();
    // A check that finds no local address (the first adapter scan may
    // still be running at engine start) tries again at the next one.
    if (!g_stopped.load() && IgmpReportDue(interval, sentBefore, lastTick, now) &&
        SendIgmpReportEverywhere(fd, report, group) > 0) {
      sentBefore = true;
      lastTick = now;
    }
    std::this_thread::sleep_for(kCheckPeriod);
  }
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t len) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < len; i += 2) sum += (uint32_t{data[i]} << 8) | data[i + 1];
  if (i < len) sum += uint32_t{data[i]} << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

void BuildIgmpReport(uint32_t group, uint8_t out[kIgmpReportSize]) {
  out[0] = 0x12;  // version 1, type 2: membership report
  out[1] = 0;
  out[2] = 0;
  out[3] = 0;
  memcpy(out + 4, &group, 4);  // network order as held
  uint16_t sum = InternetChecksum(out, kIgmpReportSize);
  out[2] = static_cast<uint8_t>(sum >> 8);
  out[3] = static_cast<uint8_t>(sum & 0xFF);
}

bool IgmpReportDue(uint32_t intervalMs, bool sentBefore, uint32_t lastTick, uint32_t now) {
  if (intervalMs == 0) return false;
  if (!sentBefore) return true;
  return static_cast<uint32_t>(now - lastTick) >= intervalMs;
}

size_t SendIgmpReportEverywhere(int fd, const uint8_t report[kIgmpReportSize], uint32_t group) {
  // A copy, so that the adapter list mutex is not held across the sends.
  std::vector<AdapterSummary> adapters = SnapshotAdapters();
  size_t addresses = 0;
  for (const AdapterSummary& adapter : adapters) {
    for (const AddressMask& am : adapter.addresses) {
      if (fd >= 0) {  // failures are not reported
        SendDatagramFrom(fd, am.address, adapter.index, group, 0, report, kIgmpReportSize);
      }
      ++addresses;
    }
  }
  return addresses;
}

void StartIgmpReport() {
  g_stopped = false;
  if (g_started.exchange(true)) return;
  try {
    std::thread(ReportThread).detach();
  } catch (const std::system_error&) {
    g_started = false;
  }
}

void StopIgmpReport() { g_stopped = true; }

TORVANE_ENGINE_MODULE("IGMP report", EnginePhase::kStart, 20, &StartIgmpReport, &StopIgmpReport);

}  // namespace torvane
