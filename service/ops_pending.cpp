// Operations whose engine subsystems are not part of this build yet. Each
// answers a SOAP fault that says so; none pretends to succeed.
#include "soapH.h"

namespace {

int NotAvailable(struct soap* soap, const char* operation) {
  return soap_receiver_fault(soap, operation, "this operation is not available in this build");
}

}  // namespace

int ns__GetSwitchInfoList(struct soap* soap, int, ns__SwitchInfoList&) {
  return NotAvailable(soap, "GetSwitchInfoList");
}
int ns__SetDiscoverToAgents(struct soap* soap, int, std::string,
                            struct ns__SetDiscoverToAgentsResponse&) {
  return NotAvailable(soap, "SetDiscoverToAgents");
}
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
int ns__AddUpgradeAgent(struct soap* soap, std::vector<ns__SwitchInfo>,
                        struct ns__AddUpgradeAgentResponse&) {
  return NotAvailable(soap, "AddUpgradeAgent");
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
int ns__SetDeviceCfg(struct soap* soap, ns__SwitchInfo, unsigned int,
                     struct ns__SetDeviceCfgResponse&) {
  return NotAvailable(soap, "SetDeviceCfg");
}
int ns__GetOperateResult(struct soap* soap, int, std::string, ns__OperateList&) {
  return NotAvailable(soap, "GetOperateResult");
}
int ns__SaveFile(struct soap* soap, std::wstring, struct ns__SaveFileResponse&) {
  return NotAvailable(soap, "SaveFile");
}
int ns__SaveFileAs(struct soap* soap, int, std::string, struct ns__SaveFileAsResponse&) {
  return NotAvailable(soap, "SaveFileAs");
}
int ns__LoadFile(struct soap* soap, std::wstring, ns__MonitorList&) {
  return NotAvailable(soap, "LoadFile");
}
int ns__AddUpgradeAgentEx(struct soap* soap, std::string, std::string,
                          struct ns__AddUpgradeAgentExResponse&) {
  return NotAvailable(soap, "AddUpgradeAgentEx");
}
int ns__SetDeviceCfgEx(struct soap* soap, std::wstring, std::wstring, std::string, std::string,
                       std::string, std::string, std::string, std::string, unsigned short,
                       unsigned int, unsigned short, std::string, unsigned int,
                       struct ns__SetDeviceCfgExResponse&) {
  return NotAvailable(soap, "SetDeviceCfgEx");
}
