// Engine control and the two intervals.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "Loader/push_channel.h"
#include "engine/engine.h"
#include "engine/settings.h"
#include "soapH.h"

using torvane::Settings;

int ns__EngineLayerStartup(struct soap*, int, std::string,
                           struct ns__EngineLayerStartupResponse& result) {
  printf("EngineLayerStartup begin. \n");
  // A repeated call starts nothing new and answers what the first one did.
  if (torvane::EngineStart() == 1) {
    torvane::EngineCompleteStart();
    result.errorcode = 0;
  } else {
    result.errorcode = Settings().portInUse ? 2 : 1;
  }
  return SOAP_OK;
}

int ns__SetUtilityGroupInterval(struct soap*, unsigned int groupInterval,
                                struct ns__SetUtilityGroupIntervalResponse& result) {
  Settings().igmpReportIntervalMs = groupInterval * 1000u;
  Settings().igmpIntervalByClient = true;
  result.errorcode = 0;
  return SOAP_OK;
}

int ns__GetUtilityGroupInterval(struct soap*, int, std::string,
                                struct ns__GetUtilityGroupIntervalResponse& result) {
  result.groupInterval = Settings().igmpReportIntervalMs / 1000u;
  return SOAP_OK;
}

int ns__SetRefreshTime(struct soap*, unsigned int monitorPollingInterval,
                       struct ns__SetRefreshTimeResponse& result) {
  Settings().monitorPollingIntervalMs = monitorPollingInterval * 1000u;
  Settings().monitorIntervalByClient = true;
  torvane::SettingsWrite();  // the new interval stays in effect either way
  result.errorcode = 0;
  return SOAP_OK;
}

int ns__GetRefreshTime(struct soap*, int, std::string,
                       struct ns__GetRefreshTimeResponse& result) {
  result.monitorPollingInterval = Settings().monitorPollingIntervalMs / 1000u;
  return SOAP_OK;
}

int ns__GetRefreshTimeEx(struct soap*, int, std::string,
                         struct ns__GetRefreshTimeExResponse& result) {
  result.monitorPollingInterval = Settings().monitorPollingIntervalMs / 1000u;
  return SOAP_OK;
}

int ns__GSoapClose(struct soap*, int, std::string, struct ns__GSoapCloseResponse&) {
  printf("GSoapClose begin. \n");
  torvane::SendPushMessage("app_exit");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  torvane::EngineStop();
  fflush(stdout);
  fflush(stderr);
  // Engine threads are still running: leave without running destructors.
  _exit(0);
}
