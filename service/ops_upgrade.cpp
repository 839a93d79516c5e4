// Firmware upgrade.
// Not part of this build yet: each answers a SOAP fault that says so.
#include "service/not_available.h"
#include "soapH.h"

using torvane::NotAvailable;

int ns__AddUpgradeAgent(struct soap* soap, std::vector<ns__SwitchInfo>,
                        struct ns__AddUpgradeAgentResponse&) {
  return NotAvailable(soap, "AddUpgradeAgent");
}
int ns__AddUpgradeAgentEx(struct soap* soap, std::string, std::string,
                          struct ns__AddUpgradeAgentExResponse&) {
  return NotAvailable(soap, "AddUpgradeAgentEx");
}
int ns__SetFwFilePath(struct soap* soap, std::wstring, struct ns__SetFwFilePathResponse&) {
  return NotAvailable(soap, "SetFwFilePath");
}
int ns__StartUpgrade(struct soap* soap, int, std::string, struct ns__StartUpgradeResponse&) {
  return NotAvailable(soap, "StartUpgrade");
}
int ns__EndUpgrade(struct soap* soap, int, std::string, struct ns__EndUpgradeResponse&) {
  return NotAvailable(soap, "EndUpgrade");
}
int ns__GetUpgradeStatus(struct soap* soap, std::string, ns__UpgradeInfo&) {
  return NotAvailable(soap, "GetUpgradeStatus");
}
int ns__GetUpgradingAgent(struct soap* soap, int, std::string, ns__UpgradeAddr&) {
  return NotAvailable(soap, "GetUpgradingAgent");
}
