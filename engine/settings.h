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
};

// The one settings instance of the process.
EngineSettings& Settings();

// Path of the settings file, relative to the working directory.
extern const char kSettingsPath[];  // "cfg/define.ecf"

// Reads cfg/define.ecf, fills Settings() and runs the discovery port check.
// Returns 1 when the file was valid and the discovery port could be bound,
// 0 otherwise (see the settings codec for which settings are then changed).
int SettingsRead();

// Rewrites the two interval lines of cfg/define.ecf with the current values.
// Returns 1 on success or when the file has no interval line, 0 when the
// file cannot be opened.
int SettingsWrite();

}  // namespace torvane
