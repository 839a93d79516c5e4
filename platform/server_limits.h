// Limits of the web service front end: how many connections stay open at
// once, and how long a client may take to deliver its request, to take
// its answer, or an operator to answer the save prompt.
//
// The values are fixed. For tests only, TORVANE_TEST_LIMITS may shorten
// them, e.g. "recv_ms=1500,send_ms=1500,prompt_ms=2000,max_conn=8"; any
// field left out keeps its normal value.
#pragma once

namespace torvane {

struct ServerLimits {
  int maxConnections = 64;      // open connections; beyond it see http_server.h
  int recvTimeoutMs = 30000;    // from accept to a whole request
  int sendTimeoutMs = 30000;    // to hand over a whole answer
  int promptTimeoutMs = 300000;  // operator's answer to the save dialog
};

// Read once, on first use.
const ServerLimits& Limits();

// Parses a TORVANE_TEST_LIMITS text over the normal values. Unknown
// fields and values that are not positive numbers are ignored.
ServerLimits ParseServerLimits(const char* text);

}  // namespace torvane
