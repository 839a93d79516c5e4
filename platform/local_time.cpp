#include "platform/local_time.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace torvane {

std::string LocalTimeText() {
  time_t now = time(nullptr);
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  localtime_r(&now, &tm);
  char text[80];  // room for any int values; a real date takes 19 bytes
  snprintf(text, sizeof(text), "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace torvane
