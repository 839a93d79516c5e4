// Watched switches and traps.
//
// The operations run on the SOAP thread and reach the engine only through
// the monitor list, the trap list and the agent table, each of which takes
// its own mutex.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "engine/agent_table.h"
#include "engine/dispatch.h"
#include "engine/monitor.h"
#include "platform/local_time.h"
#include "service/convert.h"
#include "soapH.h"

namespace {

// Reads an IPv4 address parameter into the four bytes an agent record
// holds. A text that does not hold four numbers is refused rather than
// read with undefined octets.
bool ReadAddressParameter(const std::string& text, uint8_t addr[4]) {
  memset(addr, 0, 4);
  return torvane::TextToAddress(text, addr);
}


}  // namespace

int ns__SetTrapHwnd(struct soap*, int, std::string, struct ns__SetTrapHwndResponse& result) {
  result.errorcode = 0;
  printf("SetTrapHwnd begin. \n");
  torvane::InstallTrapHandler(&torvane::TrapCallback, nullptr);
  return SOAP_OK;
}

int ns__GetTrapList(struct soap*, int, std::string, ns__TrapList& result) {
  printf("GetTrapList begin. \n");
  std::vector<torvane::TrapRecord> traps;
  torvane::TakeTrapRecords(&traps);
  result.nTrapNum = static_cast<int>(traps.size());
  result.arrList.clear();
  result.arrList.reserve(traps.size());
  for (const torvane::TrapRecord& t : traps) {
    ns__TrapInfo info;
    // Each field is read within its width. The texts are the switch's own
    // bytes (a location in its code page, a message cut anywhere) and must
    // not make the answer unreadable.
    info.time = torvane::ToXmlText(t.time, strnlen(t.time, sizeof(t.time)));
    info.ip = torvane::ToXmlText(t.ip, strnlen(t.ip, sizeof(t.ip)));
    info.string = torvane::ToXmlText(t.string, strnlen(t.string, sizeof(t.string)));
    info.location = torvane::ToXmlText(t.location, strnlen(t.location, sizeof(t.location)));
    result.arrList.push_back(info);
  }
  result.nErrorCode = 0;
  return SOAP_OK;
}

int ns__AddMonitorAgent(struct soap* soap, std::string strIpAddress, std::string strMacAddr,
                        struct ns__AddMonitorAgentResponse& result) {
  result.errorcode = 0;
  printf("AddMonitorAgent begin, ip =%s \n", strIpAddress.c_str());
  uint8_t mac[6];
  bool haveMac = torvane::TextToMac(strMacAddr, mac) == 0;
  uint8_t addr[4];
  if (!ReadAddressParameter(strIpAddress, addr)) {
    return soap_sender_fault(soap, "AddMonitorAgent: the IP address is not valid", nullptr);
  }

  torvane::AgentRecord rec;
  memset(&rec, 0, sizeof(rec));
  memcpy(rec.agentIpAddr, addr, sizeof(addr));
  // A discovered switch with this address and MAC gives the entry its
  // settings at once; the last one listed wins.
  if (haveMac) {
    for (const torvane::AgentRecord& a : torvane::CopyAgentTable()) {
      if (memcmp(a.agentIpAddr, addr, sizeof(addr)) == 0 &&
          memcmp(a.macAddr, mac, sizeof(mac)) == 0) {
        rec = a;
      }
    }
  }
  if (torvane::AddMonitorNode(rec) != 1) {
    return soap_sender_fault(soap, "AddMonitorAgent: the address is already watched", nullptr);
  }
  return SOAP_OK;
}

int ns__DelMonitorAgent(struct soap* soap, std::string strIpAddress,
                        struct ns__DelMonitorAgentResponse& result) {
  result.errorcode = 0;
  printf("DelMonitorAgent begin, ip =%s \n", strIpAddress.c_str());
  uint8_t addr[4];
  if (!ReadAddressParameter(strIpAddress, addr)) {
    return soap_sender_fault(soap, "DelMonitorAgent: the IP address is not valid", nullptr);
  }
  // The switch goes back to the agent table, so that the client still
  // lists it after it is no longer watched.
  torvane::MonitorNodeCopy node;
  for (int i = 0; torvane::GetMonitorNode(i, &node) == 1; ++i) {
    if (memcmp(node.agent.agentIpAddr, addr, sizeof(addr)) == 0) {
      torvane::AppendAgentRecord(node.agent);
      break;
    }
  }
  torvane::DelMonitorNode(addr);
  return SOAP_OK;
}

int ns__GetMonitorStatus(struct soap* soap, int monitorNum, ns__MonitorList& result) {
  result.nMonitorNum = 0;
  result.arrList.clear();
  // Sized once: growing a list of 100,000 entries copies every entry
  // each time it grows.
  if (monitorNum > 0 && static_cast<size_t>(monitorNum) <= torvane::MonitorListSize()) {
    result.arrList.reserve(static_cast<size_t>(monitorNum));
  }
  for (int i = 0; i < monitorNum; ++i) {
    torvane::MonitorNodeCopy node;
    if (torvane::GetMonitorNode(i, &node) != 1) {
      // No partial list: the whole answer is a fault.
      result.arrList.clear();
      result.nMonitorNum = 0;
      return soap_sender_fault(soap, "GetMonitorStatus: fewer switches are watched", nullptr);
    }
    ns__MonitorInfo info;
    torvane::AgentRecordToSwitchInfo(node.agent, &info.monitorInfo);
    info.isAlive = node.isAlive;
    info.recvFlag = node.recvFlag;
    info.time = torvane::LocalTimeText();
    result.arrList.push_back(info);
    ++result.nMonitorNum;
  }
  result.nErrorCode = 0;
  return SOAP_OK;
}
