// Changing a switch's settings and collecting the outcomes.
//
// Both set operations return once the set request has been sent; the
// switch's reply or the 50 s time-out completes the operation later, the
// client is told "device_set" on the push channel, and GetOperateResult
// hands over what has finished.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/agent_table.h"
#include "engine/device_set.h"
#include "engine/monitor.h"
#include "service/convert.h"
#include "soapH.h"

namespace {

// The switch whose MAC text (as MacToText writes it) is exactly macText:
// the agent table first, then the monitor list. Fills *record with the
// engine's record and *found with its conversion. Returns false when
// neither list holds it.
bool FindSwitchByMacText(const std::string& macText, torvane::AgentRecord* record,
                         ns__SwitchInfo* found) {
  for (const torvane::AgentRecord& rec : torvane::CopyAgentTable()) {
    torvane::AgentRecordToSwitchInfo(rec, found);
    if (found->macAddr == macText) {
      *record = rec;
      return true;
    }
  }
  torvane::MonitorNodeCopy node;
  for (int i = 0; torvane::GetMonitorNode(i, &node) == 1; ++i) {
    torvane::AgentRecordToSwitchInfo(node.agent, found);
    if (found->macAddr == macText) {
      *record = node.agent;
      return true;
    }
  }
  return false;
}

// The password fields hold 21 bytes. A longer password would reach the
// switch cut short, set there as something the user never typed; it is
// refused instead. Returns the fault text, or null when both fit.
const char* PasswordTooLong(const std::string& newPassword, const std::string& oldPassword) {
  constexpr size_t kWidth = sizeof(torvane::AgentRecord::oldPassword);
  static_assert(sizeof(torvane::AgentRecord::newPasseord) == kWidth, "password widths differ");
  if (newPassword.size() > kWidth) return "the new password is longer than 21 bytes";
  if (oldPassword.size() > kWidth) return "the current password is longer than 21 bytes";
  return nullptr;
}

}  // namespace

int ns__SetDeviceCfg(struct soap* soap, ns__SwitchInfo switchInfo, unsigned int operate,
                     struct ns__SetDeviceCfgResponse& result) {
  result.errorcode = 0;
  if (const char* why = PasswordTooLong(switchInfo.newPasseord, switchInfo.oldPassword)) {
    return soap_sender_fault(soap, "SetDeviceCfg", why);
  }
  // Every field comes from the client, the MAC and loader mode included.
  torvane::AgentRecord rec;
  torvane::SwitchInfoToAgentRecord(switchInfo, &rec);
  if (torvane::SendDeviceSet(rec, static_cast<int32_t>(operate)) != 1) {
    return soap_receiver_fault(soap, "SetDeviceCfg: the set request was not sent", nullptr);
  }
  return SOAP_OK;
}

int ns__SetDeviceCfgEx(struct soap* soap, std::wstring systemName, std::wstring location,
                       std::string agentIpAddr, std::string agentNetmask,
                       std::string agentGateway, std::string trapIpAddr,
                       std::string newPasseord, std::string oldPassword,
                       unsigned short dhcpMode, unsigned int groupTimer, unsigned short snmpMode,
                       std::string macAddr, unsigned int operate,
                       struct ns__SetDeviceCfgExResponse& result) {
  result.errorcode = 0;
  printf("device set begine \n");
  if (const char* why = PasswordTooLong(newPasseord, oldPassword)) {
    return soap_sender_fault(soap, "SetDeviceCfgEx", why);
  }
  torvane::AgentRecord known;
  ns__SwitchInfo info;
  if (!FindSwitchByMacText(macAddr, &known, &info)) {
    return soap_sender_fault(soap, "SetDeviceCfgEx: no known switch has this MAC address",
                             nullptr);
  }
  // The request's values replace these twelve; everything else is what
  // the engine knows about the switch.
  info.systemName = systemName;
  info.location = location;
  info.agentIpAddr = agentIpAddr;
  info.agentNetmask = agentNetmask;
  info.agentGateway = agentGateway;
  info.trapIpAddr = trapIpAddr;
  info.newPasseord = newPasseord;
  info.oldPassword = oldPassword;
  info.dhcpMode = dhcpMode;
  info.groupTimer = groupTimer;
  info.snmpMode = snmpMode;
  info.macAddr = macAddr;

  torvane::AgentRecord rec;
  torvane::SwitchInfoToAgentRecord(info, &rec);
  // The texts the client did not give go out as the switch has them: their
  // answer form is made fit for XML, which may alter bytes that are not
  // UTF-8 (an LLDP key, say), and the switch must not receive those.
  memcpy(rec.productName, known.productName, sizeof(rec.productName));
  memcpy(rec.fwVersion, known.fwVersion, sizeof(rec.fwVersion));
  memcpy(rec.lldpAuthenkey, known.lldpAuthenkey, sizeof(rec.lldpAuthenkey));
  memcpy(rec.errString, known.errString, sizeof(rec.errString));
  if (torvane::SendDeviceSet(rec, static_cast<int32_t>(operate)) != 1) {
    return soap_receiver_fault(soap, "SetDeviceCfgEx: the set request was not sent", nullptr);
  }
  return SOAP_OK;
}

int ns__GetOperateResult(struct soap*, int, std::string, ns__OperateList& result) {
  std::vector<torvane::OperateNode> finished;
  torvane::GetOperateResult(&finished);
  result.nOperateNum = static_cast<int>(finished.size());
  result.arrList.clear();
  result.arrList.reserve(finished.size());
  for (const torvane::OperateNode& node : finished) {
    ns__OperateInfo info;
    torvane::AgentRecordToSwitchInfo(node.agent, &info.agentInfo);
    info.operate = node.kind;
    info.result = node.result;
    result.arrList.push_back(info);
  }
  return SOAP_OK;
}
