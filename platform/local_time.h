// Time stamps shown to the client: local time as "YYYY/MM/DD hh:mm:ss".
#pragma once

#include <string>

namespace torvane {

// The current local time, "%04d/%02d/%02d %02d:%02d:%02d" (19 characters).
std::string LocalTimeText();

}  // namespace torvane
