// HTTP GET handler of the SOAP port: serves the browser client's two files.
#pragma once

struct soap;

namespace torvane {

// The runtime's GET callback. Always sends a complete 200 response and
// returns 0.
int StaticFileHandler(struct soap* soap);

}  // namespace torvane
