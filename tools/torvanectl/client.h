// torvanectl's side of the web service: one call per method, each a
// request/response exchange over a fresh HTTP connection (the server
// closes every connection after its answer).
//
// Every method returns its answer or throws CallError, which tells a
// server that cannot be reached apart from one that answered with a SOAP
// fault or an unreadable answer, so that the commands can exit with the
// codes their help promises. Switches and entries come back as JSON
// objects keyed by the contract's element names (format.h).
#ifndef TORVANE_TOOLS_TORVANECTL_CLIENT_H_
#define TORVANE_TOOLS_TORVANECTL_CLIENT_H_

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/torvanectl/format.h"

struct soap;

namespace torvanectl {

class CallError : public std::runtime_error {
 public:
  enum class Kind {
    kUnreachable,  // no connection, or it broke before an answer
    kFault,        // the server answered with a SOAP fault
    kBadAnswer,    // an answer that is not what the contract says
  };
  CallError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct SetOutcome {
  int operate = 0;
  int result = 0;
  Json agent;  // the switch as it answered, or as it was sent
};

struct UpgradeStatus {
  bool active = false;
  int state = 0;
  int fwFileSize = 0;
  int transmitted = 0;
  int failedCode = 0;
  Json agent;  // filled once the switch answered after its restart
};

class Client {
 public:
  // endpoint: "HOST:PORT"; timeout_s bounds connecting, sending and each
  // wait for an answer.
  Client(const std::string& endpoint, int timeout_s);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  unsigned EngineLayerStartup();
  void SetDiscoverToAgents();
  // Watched switches first (monitorNum of them), then the discovered ones.
  std::vector<Json> GetSwitchInfoList(int monitorNum);
  // Entries {"switch": {...}, "isAlive": n, "recvFlag": n, "time": "..."}.
  std::vector<Json> GetMonitorStatus(int monitorNum);
  // How many switches are watched. The server tells only by refusing a
  // count above it, so this searches: a few calls, each refusal a fault.
  int WatchedCount();
  void AddMonitorAgent(const std::string& ip, const std::string& mac);
  void DelMonitorAgent(const std::string& ip);
  std::vector<Json> GetTrapList();
  void SetDeviceCfg(const Json& switchInfo, unsigned operate);
  std::vector<SetOutcome> GetOperateResult();
  unsigned SetFwFilePath(const std::string& path);
  void AddUpgradeAgentEx(const std::string& mac, const std::string& password);
  void StartUpgrade();
  void EndUpgrade();
  UpgradeStatus GetUpgradeStatus(const std::string& mac);
  void SaveFile(const std::string& path);
  // nErrorCode and the entries as GetMonitorStatus gives them.
  int LoadFile(const std::string& path, std::vector<Json>* entries);
  unsigned GetRefreshTime();
  void SetRefreshTime(unsigned seconds);
  unsigned GetUtilityGroupInterval();
  void SetUtilityGroupInterval(unsigned seconds);
  // Ends the server. It answers by closing the connection, which counts
  // as success here.
  void GSoapClose();

 private:
  // Turns the outcome of one generated call into a return or a CallError;
  // name is the operation's, for the message.
  void Check(int rc, const char* name);

  std::string endpoint_;
  struct soap* soap_;
};

}  // namespace torvanectl

#endif  // TORVANE_TOOLS_TORVANECTL_CLIENT_H_
