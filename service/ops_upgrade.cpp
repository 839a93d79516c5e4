// Firmware upgrade: choose the firmware file, queue switches, start the
// queue, follow each switch's progress and end the run. The upgrade table,
// the firmware path and the timer belong to the upgrade engine; these
// operations keep no state of their own.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/agent_record.h"
#include "engine/agent_table.h"
#include "engine/monitor.h"
#include "engine/protocol.h"
#include "engine/upgrade.h"
#include "platform/codepage.h"
#include "platform/local_time.h"
#include "service/convert.h"
#include "soapH.h"

namespace {

// Queues the switch of rec under the client's password; answers a fault
// when the password does not fit the record or no entry could be added.
int QueueWithPassword(struct soap* soap, torvane::AgentRecord rec, const std::string& password) {
  // The field holds up to its width; a longer password would reach the
  // switch cut short and could only be refused.
  if (password.size() > sizeof(rec.oldPassword))
    return soap_sender_fault(soap, "AddUpgradeAgentEx", "the password is too long");
  memset(rec.oldPassword, 0, sizeof(rec.oldPassword));
  memcpy(rec.oldPassword, password.data(), password.size());
  if (torvane::AddUpgradeEntry(&rec) != 1)
    return soap_receiver_fault(soap, "AddUpgradeAgentEx", "the switch could not be queued");
  return SOAP_OK;
}

bool SameMacText(const torvane::AgentRecord& rec, const std::string& macText) {
  ns__SwitchInfo info;
  torvane::AgentRecordToSwitchInfo(rec, &info);
  return info.macAddr == macText;
}

}  // namespace

int ns__AddUpgradeAgent(struct soap* soap, std::vector<ns__SwitchInfo> vecSwitchInfo,
                        struct ns__AddUpgradeAgentResponse& result) {
  printf("AddUpgradeAgent begin. \n");
  result.errorcode = 0;
  for (const ns__SwitchInfo& info : vecSwitchInfo) {
    torvane::AgentRecord rec;
    torvane::SwitchInfoToAgentRecord(info, &rec);
    // The entries added before a failure stay queued.
    if (torvane::AddUpgradeEntry(&rec) != 1)
      return soap_receiver_fault(soap, "AddUpgradeAgent", "the switch could not be queued");
  }
  return SOAP_OK;
}

int ns__AddUpgradeAgentEx(struct soap* soap, std::string macAddr, std::string password,
                          struct ns__AddUpgradeAgentExResponse& result) {
  printf("AddUpgradeAgentEx begin. \n");
  result.errorcode = 0;
  // The agent table first: a switch that is both discovered and monitored
  // is queued with its discovered record.
  for (const torvane::AgentRecord& rec : torvane::CopyAgentTable()) {
    if (SameMacText(rec, macAddr)) return QueueWithPassword(soap, rec, password);
  }
  torvane::MonitorNodeCopy node;
  for (int position = 0; torvane::GetMonitorNode(position, &node) == 1; ++position) {
    if (SameMacText(node.agent, macAddr)) return QueueWithPassword(soap, node.agent, password);
  }
  return soap_sender_fault(soap, "AddUpgradeAgentEx", "no switch with this MAC address");
}

int ns__SetFwFilePath(struct soap*, std::wstring strFwFilePath,
                      struct ns__SetFwFilePathResponse& result) {
  printf("SetFwFilePath begin. \n");
  result.errorcode = 0;
  torvane::ClearUpgradeTable();
  // File names are UTF-8 here. A path that does not convert whole (too
  // long, or not valid text) names no file and is never cut to fit.
  char path[torvane::kPathBufSize];
  struct stat st;
  // Only a regular file (or a link to one) can be an image: a directory or
  // a device would fail, or never end, once the upgrade starts.
  if (torvane::WidePathToUtf8(strFwFilePath, path) && stat(path, &st) == 0 &&
      S_ISREG(st.st_mode) && torvane::SetFirmwarePath(path)) {
    return SOAP_OK;
  }
  result.errorcode = 1;  // the firmware path keeps its previous value
  return SOAP_OK;
}

int ns__StartUpgrade(struct soap* soap, int, std::string,
                     struct ns__StartUpgradeResponse& result) {
  printf("StartUpgrade begin. \n");
  result.errorcode = 0;
  if (torvane::ArmUpgradeTimer() != 1)
    return soap_receiver_fault(soap, "StartUpgrade", "the upgrade timer is not available");
  if (torvane::StartNextQueuedEntry() != 1)
    return soap_receiver_fault(soap, "StartUpgrade", "no queued switch could start");
  return SOAP_OK;
}

int ns__EndUpgrade(struct soap*, int, std::string, struct ns__EndUpgradeResponse& result) {
  printf("EndUpgrade begin. \n");
  torvane::ClearUpgradeTable();
  result.errorcode = 0;
  return SOAP_OK;
}

int ns__GetUpgradeStatus(struct soap* soap, std::string strMacAddr, ns__UpgradeInfo& result) {
  uint8_t mac[6];
  if (torvane::TextToMac(strMacAddr, mac) != 0)
    return soap_sender_fault(soap, "GetUpgradeStatus", "malformed MAC address");
  std::unique_ptr<torvane::UpgradeStatusCopy> status(new (std::nothrow)
                                                         torvane::UpgradeStatusCopy());
  if (!status) return soap_receiver_fault(soap, "GetUpgradeStatus", "out of memory");
  if (torvane::QueryUpgradeStatus(mac, status.get()) != 1)
    return soap_sender_fault(soap, "GetUpgradeStatus", "the switch is not in the upgrade table");
  result.is_upgrading = static_cast<int>(status->active);
  result.upgradeStatus = status->state;
  result.fwFileSize = static_cast<int>(status->firmwareSize);
  result.transmitedSize = static_cast<int>(status->transmitted);
  result.failedCode = static_cast<int>(status->failureCode);
  result.time = torvane::LocalTimeText();
  if (status->replyLength != 0) {
    torvane::AgentRecord rec;
    memset(&rec, 0, sizeof(rec));
    torvane::ParseAgentTlvs(status->replyCopy, status->replyLength, &rec);
    torvane::AgentRecordToSwitchInfo(rec, &result.agentInfo);
  }
  return SOAP_OK;
}

int ns__GetUpgradingAgent(struct soap*, int, std::string, ns__UpgradeAddr& result) {
  uint8_t mac[6];
  uint8_t ip[4];
  if (torvane::QueryUpgradingSwitch(mac, ip) == 1) {
    result.strMacAddr = torvane::MacToText(mac);
    result.strIpAddr = torvane::AddressToText(ip);
  } else {
    result.strMacAddr = "0";
    result.strIpAddr = "0";
  }
  return SOAP_OK;
}
