// Watched switches and traps.
// Not part of this build yet: each answers a SOAP fault that says so.
#include "service/not_available.h"
#include "soapH.h"

using torvane::NotAvailable;

int ns__SetTrapHwnd(struct soap* soap, int, std::string, struct ns__SetTrapHwndResponse&) {
  return NotAvailable(soap, "SetTrapHwnd");
}
int ns__GetTrapList(struct soap* soap, int, std::string, ns__TrapList&) {
  return NotAvailable(soap, "GetTrapList");
}
int ns__AddMonitorAgent(struct soap* soap, std::string, std::string,
                        struct ns__AddMonitorAgentResponse&) {
  return NotAvailable(soap, "AddMonitorAgent");
}
int ns__DelMonitorAgent(struct soap* soap, std::string, struct ns__DelMonitorAgentResponse&) {
  return NotAvailable(soap, "DelMonitorAgent");
}
int ns__GetMonitorStatus(struct soap* soap, int, ns__MonitorList&) {
  return NotAvailable(soap, "GetMonitorStatus");
}
