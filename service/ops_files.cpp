// Saving and loading the watched switches in switch configuration files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/monitor.h"
#include "platform/codepage.h"
#include "platform/file_replace.h"
#include "platform/save_dialog.h"
#include "service/convert.h"
#include "service/switch_file.h"
#include "soapH.h"

using namespace torvane;

namespace {

// Reads until n bytes or end of file; returns the count, -1 on error.
ssize_t ReadFull(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return got > 0 ? static_cast<ssize_t>(got) : -1;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// Writes the monitor list, in order, to path, replacing the file safely
// (see platform/file_replace.h). Returns false, with the reason in *why,
// when the file was not written; the reason is also printed.
bool WriteSwitchFile(const std::string& path, std::string* why) {
  std::vector<uint8_t> content;
  MonitorNodeCopy node;
  uint8_t record[kSwitchRecordSize];
  for (int i = 0; GetMonitorNode(i, &node) == 1; ++i) {
    EncodeSwitchRecord(node.agent, node.isAlive, node.recvFlag, record);
    content.insert(content.end(), record, record + sizeof(record));
  }
  switch (ReplaceFileContent(path, content.data(), content.size(), why)) {
    case ReplaceResult::kReplaced:
      return true;
    case ReplaceResult::kNotCreated:
      printf("create file %s error: %s \n", path.c_str(), why->c_str());
      return false;
    case ReplaceResult::kNotWritten:
      break;
  }
  printf("write file %s error: %s \n", path.c_str(), why->c_str());
  return false;
}

// The fault of a save that did not happen: the client must not report the
// switches as saved.
int SaveFault(struct soap* soap, const char* operation, const std::string& path,
              const std::string& why) {
  std::string text = std::string(operation) + ": cannot write " + path + ": " + why;
  // A name typed on the console need not be UTF-8; the answer must stay XML.
  return soap_receiver_fault(soap, ToXmlText(text.data(), text.size()).c_str(), nullptr);
}

}  // namespace

int ns__SaveFile(struct soap* soap, std::wstring filepath, struct ns__SaveFileResponse& result) {
  printf("SaveFile begin \n");
  result.errorcode = 0;
  char path[kPathBufSize];
  if (!WidePathToUtf8(filepath, path)) {
    printf("file path is too long or not valid \n");
    return soap_sender_fault(soap, "SaveFile: the file path is too long or not valid", nullptr);
  }
  std::string why;
  if (!WriteSwitchFile(path, &why)) return SaveFault(soap, "SaveFile", path, why);
  return SOAP_OK;
}

int ns__SaveFileAs(struct soap* soap, int, std::string, struct ns__SaveFileAsResponse& result) {
  printf("SaveFileAs begin \n");
  result.errorcode = 0;
  std::string path;
  std::string why;
  // A cancelled dialog writes nothing and is no failure.
  if (ChooseSaveFile(&path) && !WriteSwitchFile(path, &why)) {
    return SaveFault(soap, "SaveFileAs", path, why);
  }
  return SOAP_OK;
}

int ns__LoadFile(struct soap* soap, std::wstring filepath, ns__MonitorList& result) {
  printf("LoadFile begin. \n");
  result.nErrorCode = 0;
  result.nMonitorNum = 0;
  char path[kPathBufSize];
  int fd = -1;
  if (WidePathToUtf8(filepath, path)) fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  // Only a regular file is read: a FIFO would block the open or the reads
  // forever, and a device such as /dev/zero would never end.
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  // A file that cannot be read counts as an empty one.
  ssize_t last = 0;
  std::vector<AgentRecord> records;
  if (fd >= 0) {
    uint8_t record[kSwitchRecordSize];
    // One record at a time: a file of any size is never read whole.
    while ((last = ReadFull(fd, record, sizeof(record))) == static_cast<ssize_t>(sizeof(record))) {
      AgentRecord agent;
      int32_t isAlive;
      int32_t recvFlag;
      DecodeSwitchRecord(record, &agent, &isAlive, &recvFlag);
      ns__MonitorInfo info;
      AgentRecordToSwitchInfo(agent, &info.monitorInfo);
      info.isAlive = isAlive;
      info.recvFlag = 0;
      result.arrList.push_back(info);
      records.push_back(agent);
      ++result.nMonitorNum;
    }
    close(fd);
  }
  if (last > 0) {
    // A cut record at the end: report it and keep the watched list.
    result.nErrorCode = 1;
    return SOAP_OK;
  }
  ClearMonitorList();
  for (size_t i = 0; i < result.arrList.size(); ++i) {
    AgentRecord agent;
    SwitchInfoToAgentRecord(result.arrList[i].monitorInfo, &agent);
    // The byte texts are watched as the file holds them: their answer form
    // is made fit for XML, which may alter bytes that are not UTF-8.
    const AgentRecord& saved = records[i];
    memcpy(agent.productName, saved.productName, sizeof(agent.productName));
    memcpy(agent.newPasseord, saved.newPasseord, sizeof(agent.newPasseord));
    memcpy(agent.oldPassword, saved.oldPassword, sizeof(agent.oldPassword));
    memcpy(agent.fwVersion, saved.fwVersion, sizeof(agent.fwVersion));
    memcpy(agent.lldpAuthenkey, saved.lldpAuthenkey, sizeof(agent.lldpAuthenkey));
    memcpy(agent.errString, saved.errString, sizeof(agent.errString));
    if (AddMonitorNode(agent) != 1) {
      // The switches added before stay watched.
      return soap_sender_fault(soap, "LoadFile: a switch address is already watched", nullptr);
    }
  }
  return SOAP_OK;
}
