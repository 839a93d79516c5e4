// Web service contract of the Torvane server.
//
// soapcpp2 generates the serializers, the dispatch skeleton and the WSDL
// from this header at build time. Element names are the contract's own,
// misspellings included (newPasseord, transmitedSize, upgradeEreaseFlashTime);
// a single underscore becomes a hyphen on the wire (is_upgrading ->
// is-upgrading).

//gsoap ns service name:       Torvane
//gsoap ns service style:      rpc
//gsoap ns service encoding:   encoded
//gsoap ns service namespace:  urn:Ostra
//gsoap ns service location:   http://localhost:64567
//gsoap ns schema namespace:   urn:Ostra
//gsoap ns schema elementForm: unqualified
//gsoap ns schema attributeForm: unqualified

// The answer of GetReqXmlList is the element tReqXmlList in no namespace.
// The generator names an output class as the response element only when
// the class carries a prefix, so it gets the prefix "nons", bound to the
// empty namespace; the operation writes that one response with default
// namespaces, which renders it as <tReqXmlList xmlns="">.
//gsoap nons schema namespace:
//gsoap nons schema elementForm: unqualified

#import "stlvector.h"

class ns__SwitchInfo {
 public:
  std::string productName;
  std::wstring systemName;
  std::wstring location;
  std::string agentIpAddr;
  std::string agentNetmask;
  std::string agentGateway;
  std::string trapIpAddr;
  std::string newPasseord;
  std::string oldPassword;
  unsigned short dhcpMode;
  std::string fwVersion;
  unsigned short productType;
  unsigned short httpPort;
  unsigned int groupTimer;
  unsigned short lldpMode;
  std::string lldpAuthenkey;
  unsigned short snmpMode;
  unsigned short agentProtoVer;
  unsigned short agentFamilyType;
  unsigned short agentInterfaceVer;
  unsigned int upgradeDelayTime;
  unsigned int upgradeRebootTime;
  unsigned int upgradeEreaseFlashTime;
  unsigned int funBitmap0;
  unsigned int funBitmap1;
  unsigned int funBitmap2;
  unsigned int funBitmap3;
  std::string errString;
  std::string macAddr;
  int isLoaderMode;
};

class ns__SwitchInfoList {
 public:
  int nErrorCode;
  int nSwitchNum;
  std::vector<ns__SwitchInfo> arrList;
};

class ns__TrapInfo {
 public:
  std::string time;
  std::string ip;
  std::string string;
  std::string location;
};

class ns__TrapList {
 public:
  int nErrorCode;
  int nTrapNum;
  std::vector<ns__TrapInfo> arrList;
};

class ns__MonitorInfo {
 public:
  ns__SwitchInfo monitorInfo;
  int isAlive;
  int recvFlag;
  std::string time;
};

class ns__MonitorList {
 public:
  int nErrorCode;
  int nMonitorNum;
  std::vector<ns__MonitorInfo> arrList;
};

class ns__UpgradeInfo {
 public:
  int is_upgrading;
  int upgradeStatus;
  int fwFileSize;
  int transmitedSize;
  int failedCode;
  std::string time;
  ns__SwitchInfo agentInfo;
};

class ns__UpgradeAddr {
 public:
  std::string strMacAddr;
  std::string strIpAddr;
};

class ns__OperateInfo {
 public:
  ns__SwitchInfo agentInfo;
  int operate;
  int result;
};

class ns__OperateList {
 public:
  int nOperateNum;
  std::vector<ns__OperateInfo> arrList;
};

class ns__ReqXmlList {
 public:
  int nErrorCode;
  int nNum;
  std::vector<std::string> ReqXml;
};

class nons__tReqXmlList {
 public:
  int nErrorCode;
  int nNum;
  std::vector<std::string> ReqXml;
};

struct ns__SetDiscoverToAgentsResponse { unsigned int errorcode; };
struct ns__GetReqXmlFileResponse { std::string strXmlContent; };
struct ns__SetUtilityGroupIntervalResponse { unsigned int errorcode; };
struct ns__GetUtilityGroupIntervalResponse { unsigned int groupInterval; };
struct ns__SetRefreshTimeResponse { unsigned int errorcode; };
struct ns__GetRefreshTimeResponse { unsigned int monitorPollingInterval; };
struct ns__GetRefreshTimeExResponse { unsigned int monitorPollingInterval; };
struct ns__SetTrapHwndResponse { unsigned int errorcode; };
struct ns__AddMonitorAgentResponse { unsigned int errorcode; };
struct ns__DelMonitorAgentResponse { unsigned int errorcode; };
struct ns__AddUpgradeAgentResponse { unsigned int errorcode; };
struct ns__SetFwFilePathResponse { unsigned int errorcode; };
struct ns__StartUpgradeResponse { unsigned int errorcode; };
struct ns__EndUpgradeResponse { unsigned int errorcode; };
struct ns__SetDeviceCfgResponse { unsigned int errorcode; };
struct ns__EngineLayerStartupResponse { unsigned int errorcode; };
struct ns__SaveFileResponse { unsigned int errorcode; };
struct ns__SaveFileAsResponse { unsigned int errorcode; };
struct ns__AddUpgradeAgentExResponse { unsigned int errorcode; };
struct ns__SetDeviceCfgExResponse { unsigned int errorcode; };
struct ns__GSoapCloseResponse { unsigned int errorcode; };

// The operations, in dispatch order.
int ns__GetSwitchInfoList(int monitorNum, ns__SwitchInfoList &result);
int ns__SetDiscoverToAgents(int nUserID, std::string strUserName,
                            struct ns__SetDiscoverToAgentsResponse &result);
int ns__GetReqXmlList(nons__tReqXmlList &result);
int ns__GetReqXmlFile(std::string strXmlName, struct ns__GetReqXmlFileResponse &result);
int ns__SetUtilityGroupInterval(unsigned int groupInterval,
                                struct ns__SetUtilityGroupIntervalResponse &result);
int ns__GetUtilityGroupInterval(int nUserID, std::string strUserName,
                                struct ns__GetUtilityGroupIntervalResponse &result);
int ns__SetRefreshTime(unsigned int monitorPollingInterval,
                       struct ns__SetRefreshTimeResponse &result);
int ns__GetRefreshTime(int nUserID, std::string strUserName,
                       struct ns__GetRefreshTimeResponse &result);
int ns__GetRefreshTimeEx(int nUserID, std::string strUserName,
                         struct ns__GetRefreshTimeExResponse &result);
int ns__SetTrapHwnd(int nUserID, std::string strUserName, struct ns__SetTrapHwndResponse &result);
int ns__GetTrapList(int nUserID, std::string strUserName, ns__TrapList &result);
int ns__AddMonitorAgent(std::string strIpAddress, std::string strMacAddr,
                        struct ns__AddMonitorAgentResponse &result);
int ns__DelMonitorAgent(std::string strIpAddress, struct ns__DelMonitorAgentResponse &result);
int ns__GetMonitorStatus(int monitorNum, ns__MonitorList &result);
int ns__AddUpgradeAgent(std::vector<ns__SwitchInfo> vecSwitchInfo,
                        struct ns__AddUpgradeAgentResponse &result);
int ns__SetFwFilePath(std::wstring strFwFilePath, struct ns__SetFwFilePathResponse &result);
int ns__StartUpgrade(int nUserID, std::string strUserName, struct ns__StartUpgradeResponse &result);
int ns__EndUpgrade(int nUserID, std::string strUserName, struct ns__EndUpgradeResponse &result);
int ns__GetUpgradeStatus(std::string strMacAddr, ns__UpgradeInfo &result);
int ns__GetUpgradingAgent(int nUserID, std::string strUserName, ns__UpgradeAddr &result);
int ns__SetDeviceCfg(ns__SwitchInfo switchInfo, unsigned int operate,
                     struct ns__SetDeviceCfgResponse &result);
int ns__GetOperateResult(int nUserID, std::string strUserName, ns__OperateList &result);
int ns__EngineLayerStartup(int nUserID, std::string strUserName,
                           struct ns__EngineLayerStartupResponse &result);
int ns__SaveFile(std::wstring filepath, struct ns__SaveFileResponse &result);
int ns__SaveFileAs(int nUserID, std::string username, struct ns__SaveFileAsResponse &result);
int ns__LoadFile(std::wstring filepath, ns__MonitorList &result);
int ns__AddUpgradeAgentEx(std::string macAddr, std::string password,
                          struct ns__AddUpgradeAgentExResponse &result);
int ns__SetDeviceCfgEx(std::wstring systemName, std::wstring location, std::string agentIpAddr,
                       std::string agentNetmask, std::string agentGateway, std::string trapIpAddr,
                       std::string newPasseord, std::string oldPassword,
                       unsigned short dhcpMode, unsigned int groupTimer, unsigned short snmpMode,
                       std::string macAddr, unsigned int operate,
                       struct ns__SetDeviceCfgExResponse &result);
int ns__GSoapClose(int nUserID, std::string username, struct ns__GSoapCloseResponse &result);
