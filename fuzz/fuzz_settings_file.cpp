// The settings file reader and the interval rewrite, on a real file.
//
// The first input byte chooses the form of the rest: odd, the rest is the
// file's bytes as stored; even, the rest is plain text that is scrambled
// and given its checksum first, so that the keys and values are reached.
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/settings.h"
#include "engine/settings_codec.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string g_path;

bool WriteFile(const std::string& bytes) {
  FILE* f = std::fopen(g_path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  torvane_fuzz::IsolateProcess();
  char dir[] = "/tmp/fuzz_settings.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  static std::string made;
  made = dir;
  atexit([] { std::filesystem::remove_all(made); });
  g_path = std::string(dir) + "/define.ecf";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace torvane;
  if (size == 0) return -1;
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string file = (data[0] & 1) ? rest : EncodeSettings(rest);
  FUZZ_CHECK(WriteFile(file));

  std::string content;
  FUZZ_CHECK(ReadSettingsBytes(g_path.c_str(), &content));
  FUZZ_CHECK(content.size() <= kSettingsMaxContent);

  EngineSettings settings;
  int read = SettingsReadFrom(g_path.c_str(), &settings);
  SettingsValues values;
  bool valid = DecodeSettings(content, &values);
  FUZZ_CHECK(valid == SettingsChecksumValid(content));
  if (read == 1) FUZZ_CHECK(valid);
  if (valid) {
    const uint16_t p = settings.discoveryPort;
    FUZZ_CHECK(p == values.discoveryPort);
    FUZZ_CHECK(settings.unicastPort == static_cast<uint16_t>(p + 1));
    FUZZ_CHECK(settings.switchPort == static_cast<uint16_t>(p + 2));
    FUZZ_CHECK(settings.multicastPort == static_cast<uint16_t>(p + 6));
    FUZZ_CHECK(settings.monitorPollingIntervalMs % 1000 == 0);
    FUZZ_CHECK(settings.igmpReportIntervalMs % 1000 == 0);
  }

  // The interval rewrite keeps the file readable and holds the intervals.
  settings.monitorPollingIntervalMs = 17000;
  settings.igmpReportIntervalMs = 33000;
  if (SettingsWriteTo(g_path.c_str(), settings) == 1) {
    std::string after;
    FUZZ_CHECK(ReadSettingsBytes(g_path.c_str(), &after));
    if (after != content) {
      SettingsValues reread;
      FUZZ_CHECK(DecodeSettings(after, &reread));
      FUZZ_CHECK(reread.monitorPollingIntervalMs == 17000);
    }
  }
  // Scrambling is a bijection on every byte.
  std::string scrambled = rest;
  ScrambleText(&scrambled);
  UnscrambleText(&scrambled);
  FUZZ_CHECK(scrambled == rest);
  return 0;
}
