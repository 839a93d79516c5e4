// Changing a switch's settings and collecting the outcomes.
// Not part of this build yet: each answers a SOAP fault that says so.
#include "service/not_available.h"
#include "soapH.h"

using torvane::NotAvailable;

int ns__SetDeviceCfg(struct soap* soap, ns__SwitchInfo, unsigned int,
                     struct ns__SetDeviceCfgResponse&) {
  return NotAvailable(soap, "SetDeviceCfg");
}
int ns__SetDeviceCfgEx(struct soap* soap, std::wstring, std::wstring, std::string, std::string,
                       std::string, std::string, std::string, std::string, unsigned short,
                       unsigned int, unsigned short, std::string, unsigned int,
                       struct ns__SetDeviceCfgExResponse&) {
  return NotAvailable(soap, "SetDeviceCfgEx");
}
int ns__GetOperateResult(struct soap* soap, int, std::string, ns__OperateList&) {
  return NotAvailable(soap, "GetOperateResult");
}
