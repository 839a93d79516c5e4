// Engine settings and the settings file cfg/define.ecf.
//
// The settings are process-wide. They are written by SettingsRead() during
// the engine start (and the two intervals by the service layer); engine
// threads read them without a lock, so every value is an atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace torvane {

// The fixed TFTP source port of every local address; not derived from P.
constexpr uint16_t kTftpPort = 64517;

struct EngineSettings {
  std::atomic<uint32_t> magicCookie{0};         // host order
  std::atomic<uint16_t> discoveryPort{0};       // P
  std::atomic<uint16_t> unicastPort{0};         // P+1
  std::atomic<uint16_t> switchPort{0};          // P+2, destination of every request
  std::atomic<uint16_t> multicastPort{0};       // P+6
  std::atomic<uint32_t> multicastGroup{0};      // network order (s_addr)
  std::atomic<uint32_t> monitorPollingIntervalMs{0};
  std::atomic<uint32_t> igmpReportIntervalMs{0};
  std::atomic<bool> portInUse{false};
  // Set once a valid settings file was read: the intervals in memory are
  // then real values, not the zeros of a process that has read nothing.
  std::atomic<bool> fileRead{false};
  // Set when the client gave the interval (SetRefreshTime,
  // SetUtilityGroupInterval). A value the client gave before the engine
  // start outlives the start's read of the file.
  std::atomic<bool> monitorIntervalByClient{false};
  std::atomic<bool> igmpIntervalByClient{false};
};

// The one settings instance of the process.
EngineSettings& Settings();

// Path of the settings file, relative to the working directory.
extern const char kSettingsPath[];  // "cfg/define.ecf"

// Reads cfg/define.ecf, fills Settings() and runs the discovery port check.
// An interval the client set before the read keeps its value. Returns 1
// when the file was valid and the discovery port could be bound, 0
// otherwise (see the settings codec for which settings are then changed).
int SettingsRead();

// Rewrites the interval values of cfg/define.ecf: the monitor polling
// interval, and the IGMP report interval when it is known (read from the
// file or set by the client); every other line stays as it is. Returns 1
// on success or when the file has no polling interval line, 0 when the
// file cannot be opened or rewritten.
int SettingsWrite();

}  // namespace torvane
