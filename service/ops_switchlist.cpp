// Discovery and the switch list.
#include <stdio.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "engine/agent_table.h"
#include "engine/discovery.h"
#include "engine/monitor.h"
#include "service/convert.h"
#include "soapH.h"

int ns__SetDiscoverToAgents(struct soap* soap, int, std::string,
                            struct ns__SetDiscoverToAgentsResponse& result) {
  printf("SetDiscoverToAgents begin. \n");
  result.errorcode = 0;
  torvane::ClearAgentTable();
  if (torvane::StartDiscovery() == 1) return SOAP_OK;
  // Replies fill the table over the next 3000 ms; without a local address
  // no request went out and the client must not wait for any.
  return soap_receiver_fault(soap, "SetDiscoverToAgents: no local address to discover from",
                             nullptr);
}

int ns__GetSwitchInfoList(struct soap* soap, int monitorNum, ns__SwitchInfoList& result) {
  printf("GetSwitchInfoList begin. \n");
  result.arrList.clear();
  result.nSwitchNum = 0;

  // Watched switches first, in the order of the monitor list.
  for (int i = 0; i < monitorNum; ++i) {
    torvane::MonitorNodeCopy node;
    if (torvane::GetMonitorNode(i, &node) != 1) {
      result.arrList.clear();
      result.nSwitchNum = 0;
      return soap_sender_fault(soap, "GetSwitchInfoList: monitorNum exceeds the monitored switches",
                               nullptr);
    }
    result.arrList.emplace_back();
    torvane::AgentRecordToSwitchInfo(node.agent, &result.arrList.back());
    ++result.nSwitchNum;
  }

  // Then the discovered ones in order of arrival, leaving out every MAC
  // text already listed (a switch may answer two cycles, or be watched).
  std::unordered_set<std::string> listed;
  for (const ns__SwitchInfo& info : result.arrList) listed.insert(info.macAddr);
  std::vector<torvane::AgentRecord> table = torvane::CopyAgentTable();
  for (const torvane::AgentRecord& rec : table) {
    ns__SwitchInfo info;
    torvane::AgentRecordToSwitchInfo(rec, &info);
    if (!listed.insert(info.macAddr).second) continue;
    result.arrList.push_back(std::move(info));
    ++result.nSwitchNum;
  }

  result.nErrorCode = 0;
  return SOAP_OK;
}
