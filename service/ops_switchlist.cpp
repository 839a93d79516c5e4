// Discovery and the switch list.
// Not part of this build yet: each answers a SOAP fault that says so.
#include "service/not_available.h"
#include "soapH.h"

using torvane::NotAvailable;

int ns__GetSwitchInfoList(struct soap* soap, int, ns__SwitchInfoList&) {
  return NotAvailable(soap, "GetSwitchInfoList");
}
int ns__SetDiscoverToAgents(struct soap* soap, int, std::string,
                            struct ns__SetDiscoverToAgentsResponse&) {
  return NotAvailable(soap, "SetDiscoverToAgents");
}
