#include "tools/torvanectl/client.h"

#include "soapH.h"

#include <cstring>

namespace torvanectl {

namespace {

// UTF-8 from the wide texts the generated code produces (UCS-4 on Linux).
std::string ToUtf8(const std::wstring& w) {
  std::string out;
  for (wchar_t wc : w) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Wide text from UTF-8; a malformed sequence becomes U+FFFD.
std::wstring FromUtf8(const std::string& s) {
  std::wstring out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    uint32_t c = 0;
    size_t len = 0;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      len = 4;
    }
    bool ok = len > 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      unsigned char cb = static_cast<unsigned char>(s[i + k]);
      if ((cb & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok) {
      out += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += len;
  }
  return out;
}

Json ToJson(const ns__SwitchInfo& s) {
  Json j;
  j["macAddr"] = s.macAddr;
  j["agentIpAddr"] = s.agentIpAddr;
  j["agentNetmask"] = s.agentNetmask;
  j["agentGateway"] = s.agentGateway;
  j["trapIpAddr"] = s.trapIpAddr;
  j["systemName"] = ToUtf8(s.systemName);
  j["location"] = ToUtf8(s.location);
  j["productName"] = s.productName;
  j["fwVersion"] = s.fwVersion;
  j["productType"] = s.productType;
  j["isLoaderMode"] = s.isLoaderMode;
  j["dhcpMode"] = s.dhcpMode;
  j["snmpMode"] = s.snmpMode;
  j["lldpMode"] = s.lldpMode;
  j["lldpAuthenkey"] = s.lldpAuthenkey;
  j["httpPort"] = s.httpPort;
  j["groupTimer"] = s.groupTimer;
  j["agentProtoVer"] = s.agentProtoVer;
  j["agentFamilyType"] = s.agentFamilyType;
  j["agentInterfaceVer"] = s.agentInterfaceVer;
  j["upgradeDelayTime"] = s.upgradeDelayTime;
  j["upgradeRebootTime"] = s.upgradeRebootTime;
  j["upgradeEreaseFlashTime"] = s.upgradeEreaseFlashTime;
  j["funBitmap0"] = s.funBitmap0;
  j["funBitmap1"] = s.funBitmap1;
  j["funBitmap2"] = s.funBitmap2;
  j["funBitmap3"] = s.funBitmap3;
  j["errString"] = s.errString;
  // The passwords are never printed; they stay in the object (empty as
  // the switch reports them) so that a change can be built from it.
  j["oldPassword"] = s.oldPassword;
  j["newPasseord"] = s.newPasseord;
  return j;
}

template <typename T>
T Num(const Json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return T{};
  return it->get<T>();
}

std::string Text(const Json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::string();
  return it->get<std::string>();
}

ns__SwitchInfo FromJson(const Json& j) {
  ns__SwitchInfo s;
  s.macAddr = Text(j, "macAddr");
  s.agentIpAddr = Text(j, "agentIpAddr");
  s.agentNetmask = Text(j, "agentNetmask");
  s.agentGateway = Text(j, "agentGateway");
  s.trapIpAddr = Text(j, "trapIpAddr");
  s.systemName = FromUtf8(Text(j, "systemName"));
  s.location = FromUtf8(Text(j, "location"));
  s.productName = Text(j, "productName");
  s.fwVersion = Text(j, "fwVersion");
  s.productType = Num<unsigned short>(j, "productType");
  s.isLoaderMode = Num<int>(j, "isLoaderMode");
  s.dhcpMode = Num<unsigned short>(j, "dhcpMode");
  s.snmpMode = Num<unsigned short>(j, "snmpMode");
  s.lldpMode = Num<unsigned short>(j, "lldpMode");
  s.lldpAuthenkey = Text(j, "lldpAuthenkey");
  s.httpPort = Num<unsigned short>(j, "httpPort");
  s.groupTimer = Num<unsigned int>(j, "groupTimer");
  s.agentProtoVer = Num<unsigned short>(j, "agentProtoVer");
  s.agentFamilyType = Num<unsigned short>(j, "agentFamilyType");
  s.agentInterfaceVer = Num<unsigned short>(j, "agentInterfaceVer");
  s.upgradeDelayTime = Num<unsigned int>(j, "upgradeDelayTime");
  s.upgradeRebootTime = Num<unsigned int>(j, "upgradeRebootTime");
  s.upgradeEreaseFlashTime = Num<unsigned int>(j, "upgradeEreaseFlashTime");
  s.funBitmap0 = Num<unsigned int>(j, "funBitmap0");
  s.funBitmap1 = Num<unsigned int>(j, "funBitmap1");
  s.funBitmap2 = Num<unsigned int>(j, "funBitmap2");
  s.funBitmap3 = Num<unsigned int>(j, "funBitmap3");
  s.errString = Text(j, "errString");
  s.oldPassword = Text(j, "oldPassword");
  s.newPasseord = Text(j, "newPasseord");
  return s;
}

Json MonitorEntry(const ns__MonitorInfo& m) {
  Json e;
  e["switch"] = ToJson(m.monitorInfo);
  e["isAlive"] = m.isAlive;
  e["recvFlag"] = m.recvFlag;
  e["time"] = m.time;
  return e;
}

}  // namespace

Client::Client(const std::string& endpoint, int timeout_s)
    : endpoint_("http://" + endpoint), soap_(soap_new1(SOAP_C_UTFSTRING)) {
  soap_->connect_timeout = timeout_s;
  soap_->send_timeout = timeout_s;
  soap_->recv_timeout = timeout_s;
}

Client::~Client() {
  soap_destroy(soap_);
  soap_end(soap_);
  soap_free(soap_);
}

void Client::Check(int rc, const char* name) {
  if (rc == SOAP_OK) {
    // The answer was deserialized into the caller's own objects; what the
    // runtime allocated for this exchange goes now.
    soap_destroy(soap_);
    soap_end(soap_);
    return;
  }
  std::string op = name;
  // Connection-level failures: nobody listening, refused, timed out, or
  // the connection closed before an answer.
  if (rc == SOAP_TCP_ERROR || rc == SOAP_EOF || rc == SOAP_UDP_ERROR) {
    const char* why = soap_->errnum != 0 ? std::strerror(soap_->errnum) : "connection closed";
    if (rc == SOAP_TCP_ERROR && soap_->errnum == 0) why = "cannot connect";
    throw CallError(CallError::Kind::kUnreachable,
                    "the server at " + endpoint_.substr(7) + " cannot be reached (" + why + ")");
  }
  const char* text = soap_fault_string(soap_);
  const char* detail = soap_fault_detail(soap_);
  std::string msg = op + " failed";
  if (text != nullptr && *text != '\0') msg += ": " + std::string(text);
  if (detail != nullptr && *detail != '\0') msg += " (" + std::string(detail) + ")";
  if (rc == SOAP_FAULT || rc == SOAP_SVR_FAULT || rc == SOAP_CLI_FAULT) {
    throw CallError(CallError::Kind::kFault, msg);
  }
  throw CallError(CallError::Kind::kBadAnswer, msg + " (error " + std::to_string(rc) + ")");
}

unsigned Client::EngineLayerStartup() {
  ns__EngineLayerStartupResponse r{};
  Check(soap_call_ns__EngineLayerStartup(soap_, endpoint_.c_str(), nullptr, 0, "", r),
        "EngineLayerStartup");
  return r.errorcode;
}

void Client::SetDiscoverToAgents() {
  ns__SetDiscoverToAgentsResponse r{};
  Check(soap_call_ns__SetDiscoverToAgents(soap_, endpoint_.c_str(), nullptr, 0, "", r),
        "SetDiscoverToAgents");
}

std::vector<Json> Client::GetSwitchInfoList(int monitorNum) {
  ns__SwitchInfoList r;
  Check(soap_call_ns__GetSwitchInfoList(soap_, endpoint_.c_str(), nullptr, monitorNum, r),
        "GetSwitchInfoList");
  std::vector<Json> out;
  for (const auto& s : r.arrList) out.push_back(ToJson(s));
  return out;
}

std::vector<Json> Client::GetMonitorStatus(int monitorNum) {
  ns__MonitorList r;
  Check(soap_call_ns__GetMonitorStatus(soap_, endpoint_.c_str(), nullptr, monitorNum, r),
        "GetMonitorStatus");
  std::vector<Json> out;
  for (const auto& m : r.arrList) out.push_back(MonitorEntry(m));
  return out;
}

int Client::WatchedCount() {
  // Is a list of n switches there? A refusal is a fault; anything else
  // (server gone) ends the search.
  auto fits = [this](int n) {
    ns__MonitorList r;
    int rc = soap_call_ns__GetMonitorStatus(soap_, endpoint_.c_str(), nullptr, n, r);
    if (rc == SOAP_OK) return true;
    if (rc == SOAP_FAULT || rc == SOAP_SVR_FAULT || rc == SOAP_CLI_FAULT) return false;
    Check(rc, "GetMonitorStatus");
    return false;
  };
  // Doubling finds a refused count above the answer, then bisection.
  int lo = 0;  // known to fit
  int hi = 1;  // to test
  while (fits(hi)) {
    lo = hi;
    if (hi > (1 << 29)) return hi;
    hi *= 2;
  }
  // lo fits, hi does not.
  while (hi - lo > 1) {
    int mid = lo + (hi - lo) / 2;
    if (fits(mid)) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void Client::AddMonitorAgent(const std::string& ip, const std::string& mac) {
  ns__AddMonitorAgentResponse r{};
  Check(soap_call_ns__AddMonitorAgent(soap_, endpoint_.c_str(), nullptr, ip, mac, r),
        "AddMonitorAgent");
}

void Client::DelMonitorAgent(const std::string& ip) {
  ns__DelMonitorAgentResponse r{};
  Check(soap_call_ns__DelMonitorAgent(soap_, endpoint_.c_str(), nullptr, ip, r),
        "DelMonitorAgent");
}

std::vector<Json> Client::GetTrapList() {
  ns__TrapList r;
  Check(soap_call_ns__GetTrapList(soap_, endpoint_.c_str(), nullptr, 0, "", r), "GetTrapList");
  std::vector<Json> out;
  for (const auto& t : r.arrList) {
    Json j;
    j["time"] = t.time;
    j["ip"] = t.ip;
    j["location"] = t.location;
    j["string"] = t.string;
    out.push_back(j);
  }
  return out;
}

void Client::SetDeviceCfg(const Json& switchInfo, unsigned operate) {
  ns__SetDeviceCfgResponse r{};
  Check(soap_call_ns__SetDeviceCfg(soap_, endpoint_.c_str(), nullptr, FromJson(switchInfo),
                                   operate, r),
        "SetDeviceCfg");
}

std::vector<SetOutcome> Client::GetOperateResult() {
  ns__OperateList r;
  Check(soap_call_ns__GetOperateResult(soap_, endpoint_.c_str(), nullptr, 0, "", r),
        "GetOperateResult");
  std::vector<SetOutcome> out;
  for (const auto& o : r.arrList) {
    SetOutcome s;
    s.operate = o.operate;
    s.result = o.result;
    s.agent = ToJson(o.agentInfo);
    out.push_back(s);
  }
  return out;
}

unsigned Client::SetFwFilePath(const std::string& path) {
  ns__SetFwFilePathResponse r{};
  Check(soap_call_ns__SetFwFilePath(soap_, endpoint_.c_str(), nullptr, FromUtf8(path), r),
        "SetFwFilePath");
  return r.errorcode;
}

void Client::AddUpgradeAgentEx(const std::string& mac, const std::string& password) {
  ns__AddUpgradeAgentExResponse r{};
  Check(soap_call_ns__AddUpgradeAgentEx(soap_, endpoint_.c_str(), nullptr, mac, password, r),
        "AddUpgradeAgentEx");
}

void Client::StartUpgrade() {
  ns__StartUpgradeResponse r{};
  Check(soap_call_ns__StartUpgrade(soap_, endpoint_.c_str(), nullptr, 0, "", r), "StartUpgrade");
}

void Client::EndUpgrade() {
  ns__EndUpgradeResponse r{};
  Check(soap_call_ns__EndUpgrade(soap_, endpoint_.c_str(), nullptr, 0, "", r), "EndUpgrade");
}

UpgradeStatus Client::GetUpgradeStatus(const std::string& mac) {
  ns__UpgradeInfo r;
  Check(soap_call_ns__GetUpgradeStatus(soap_, endpoint_.c_str(), nullptr, mac, r),
        "GetUpgradeStatus");
  UpgradeStatus s;
  s.active = r.is_upgrading != 0;
  s.state = r.upgradeStatus;
  s.fwFileSize = r.fwFileSize;
  s.transmitted = r.transmitedSize;
  s.failedCode = r.failedCode;
  if (!r.agentInfo.macAddr.empty()) s.agent = ToJson(r.agentInfo);
  return s;
}

void Client::SaveFile(const std::string& path) {
  ns__SaveFileResponse r{};
  Check(soap_call_ns__SaveFile(soap_, endpoint_.c_str(), nullptr, FromUtf8(path), r), "SaveFile");
}

int Client::LoadFile(const std::string& path, std::vector<Json>* entries) {
  ns__MonitorList r;
  Check(soap_call_ns__LoadFile(soap_, endpoint_.c_str(), nullptr, FromUtf8(path), r), "LoadFile");
  for (const auto& m : r.arrList) entries->push_back(MonitorEntry(m));
  return r.nErrorCode;
}

unsigned Client::GetRefreshTime() {
  ns__GetRefreshTimeResponse r{};
  Check(soap_call_ns__GetRefreshTime(soap_, endpoint_.c_str(), nullptr, 0, "", r),
        "GetRefreshTime");
  return r.monitorPollingInterval;
}

void Client::SetRefreshTime(unsigned seconds) {
  ns__SetRefreshTimeResponse r{};
  Check(soap_call_ns__SetRefreshTime(soap_, endpoint_.c_str(), nullptr, seconds, r),
        "SetRefreshTime");
}

unsigned Client::GetUtilityGroupInterval() {
  ns__GetUtilityGroupIntervalResponse r{};
  Check(soap_call_ns__GetUtilityGroupInterval(soap_, endpoint_.c_str(), nullptr, 0, "", r),
        "GetUtilityGroupInterval");
  return r.groupInterval;
}

void Client::SetUtilityGroupInterval(unsigned seconds) {
  ns__SetUtilityGroupIntervalResponse r{};
  Check(soap_call_ns__SetUtilityGroupInterval(soap_, endpoint_.c_str(), nullptr, seconds, r),
        "SetUtilityGroupInterval");
}

void Client::GSoapClose() {
  ns__GSoapCloseResponse r{};
  int rc = soap_call_ns__GSoapClose(soap_, endpoint_.c_str(), nullptr, 0, "", r);
  // The server ends without an answer: a closed connection is the
  // expected outcome once it was reached.
  if (rc == SOAP_EOF) return;
  Check(rc, "GSoapClose");
}

}  // namespace torvanectl
