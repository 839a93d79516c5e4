#include "platform/server_limits.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace torvane {

ServerLimits ParseServerLimits(const char* text) {
  ServerLimits limits;
  if (text == nullptr) return limits;
  std::string s(text);
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(',', start);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(start, end - start);
    size_t eq = item.find('=');
    if (eq != std::string::npos) {
      std::string key = item.substr(0, eq);
      const char* value = item.c_str() + eq + 1;
      char* stop = nullptr;
      long v = strtol(value, &stop, 10);
      if (stop != value && *stop == '\0' && v > 0 && v <= 3600000) {
        int n = static_cast<int>(v);
        if (key == "recv_ms") limits.recvTimeoutMs = n;
        if (key == "send_ms") limits.sendTimeoutMs = n;
        if (key == "prompt_ms") limits.promptTimeoutMs = n;
        if (key == "max_conn" && n <= 4096) limits.maxConnections = n;
      }
    }
    start = end + 1;
  }
  return limits;
}

const ServerLimits& Limits() {
  static const ServerLimits limits = ParseServerLimits(getenv("TORVANE_TEST_LIMITS"));
  return limits;
}

}  // namespace torvane
