// The whole request path of the web service, served from memory: the
// input is what a client sends on one connection (HTTP request line,
// headers and body), read by the SOAP runtime through a receive callback;
// the answer goes to a send callback. GET requests reach the static file
// handler, POST requests the dispatch and the operations, as in the serve
// loop of the server.
//
// The operations that would write files (SaveFile, SaveFileAs and the
// settings file rewrite of SetRefreshTime), start the engine
// (EngineLayerStartup) or end the process (GSoapClose) are answered by
// fakes here: their requests are read in full, but nothing is written,
// started or ended. The body element is matched by the runtime's own
// matching, the same the generated dispatch uses.
//
// Run from the repository root, so that the static files and auto/ are
// found.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Loader/static_files.h"
#include "engine/device_set.h"
#include "engine/monitor.h"
#include "engine/request_tracker.h"
#include "engine/settings.h"
#include "engine/upgrade.h"
#include "fuzz/fuzz_support.h"
#include "soapH.h"

namespace {

const uint8_t* g_in = nullptr;
size_t g_left = 0;
size_t g_sent = 0;
std::string g_head;  // the first bytes of the answer

size_t Receive(struct soap*, char* buf, size_t len) {
  size_t n = len < g_left ? len : g_left;
  memcpy(buf, g_in, n);
  g_in += n;
  g_left -= n;
  return n;
}

// FUZZ_SOAP_ECHO=1 shows every answer on standard error.
bool g_echo = false;

int Send(struct soap*, const char* data, size_t len) {
  if (g_echo) fwrite(data, 1, len, stderr);
  if (g_head.size() < 16) g_head.append(data, len < 16 ? len : 16);
  g_sent += len;
  return SOAP_OK;
}

int Close(struct soap*) { return SOAP_OK; }

// Sends result as the answer to the request element just read, the way
// the generated skeleton does.
#define SEND_RESPONSE(Type, tag, result)                                                  \
  do {                                                                                    \
    soap->encodingStyle = "";                                                             \
    soap_serializeheader(soap);                                                           \
    soap_serialize_##Type(soap, &(result));                                               \
    if (soap_begin_count(soap)) return soap->error;                                       \
    if ((soap->mode & SOAP_IO_LENGTH) &&                                                  \
        (soap_envelope_begin_out(soap) || soap_putheader(soap) ||                         \
         soap_body_begin_out(soap) || soap_put_##Type(soap, &(result), tag, "") ||        \
         soap_body_end_out(soap) || soap_envelope_end_out(soap)))                         \
      return soap->error;                                                                 \
    if (soap_end_count(soap) || soap_response(soap, SOAP_OK) ||                           \
        soap_envelope_begin_out(soap) || soap_putheader(soap) ||                          \
        soap_body_begin_out(soap) || soap_put_##Type(soap, &(result), tag, "") ||         \
        soap_body_end_out(soap) || soap_envelope_end_out(soap) || soap_end_send(soap))    \
      return soap->error;                                                                 \
    return soap_closesock(soap);                                                          \
  } while (0)

// Reads the request element of Type into req, then the end of the body and
// the envelope.
#define READ_REQUEST(Type, tag, req)                                        \
  do {                                                                      \
    soap_default_##Type(soap, &(req));                                      \
    if (!soap_get_##Type(soap, &(req), tag, nullptr)) return soap->error;   \
    if (soap_body_end_in(soap) || soap_envelope_end_in(soap) ||             \
        soap_end_recv(soap))                                                \
      return soap->error;                                                   \
  } while (0)

int FakeEngineLayerStartup(struct soap* soap) {
  struct ns__EngineLayerStartup req;
  READ_REQUEST(ns__EngineLayerStartup, "ns:EngineLayerStartup", req);
  struct ns__EngineLayerStartupResponse result;
  soap_default_ns__EngineLayerStartupResponse(soap, &result);
  result.errorcode = 1;  // as when the settings file is unreadable
  SEND_RESPONSE(ns__EngineLayerStartupResponse, "ns:EngineLayerStartupResponse", result);
}

int FakeSetRefreshTime(struct soap* soap) {
  struct ns__SetRefreshTime req;
  READ_REQUEST(ns__SetRefreshTime, "ns:SetRefreshTime", req);
  torvane::Settings().monitorPollingIntervalMs = req.monitorPollingInterval * 1000u;
  struct ns__SetRefreshTimeResponse result;
  soap_default_ns__SetRefreshTimeResponse(soap, &result);
  SEND_RESPONSE(ns__SetRefreshTimeResponse, "ns:SetRefreshTimeResponse", result);
}

int FakeSaveFile(struct soap* soap) {
  struct ns__SaveFile req;
  READ_REQUEST(ns__SaveFile, "ns:SaveFile", req);
  struct ns__SaveFileResponse result;
  soap_default_ns__SaveFileResponse(soap, &result);
  SEND_RESPONSE(ns__SaveFileResponse, "ns:SaveFileResponse", result);
}

int FakeSaveFileAs(struct soap* soap) {
  struct ns__SaveFileAs req;
  READ_REQUEST(ns__SaveFileAs, "ns:SaveFileAs", req);
  struct ns__SaveFileAsResponse result;
  soap_default_ns__SaveFileAsResponse(soap, &result);
  SEND_RESPONSE(ns__SaveFileAsResponse, "ns:SaveFileAsResponse", result);
}

int FakeGSoapClose(struct soap* soap) {
  struct ns__GSoapClose req;
  READ_REQUEST(ns__GSoapClose, "ns:GSoapClose", req);
  // The server would exit here without an answer.
  return soap_closesock(soap);
}

struct Fake {
  const char* tag;
  int (*serve)(struct soap*);
};
const Fake kFakes[] = {
    {"ns:EngineLayerStartup", FakeEngineLayerStartup}, {"ns:SetRefreshTime", FakeSetRefreshTime},
    {"ns:SaveFile", FakeSaveFile},                     {"ns:SaveFileAs", FakeSaveFileAs},
    {"ns:GSoapClose", FakeGSoapClose},
};

// soap_serve for one request, with the fakes in front of the dispatch.
void ServeOne(struct soap* soap) {
  if (soap_begin_serve(soap)) return;
  (void)soap_peek_element(soap);
  int (*serve)(struct soap*) = soap_serve_request;
  for (const Fake& fake : kFakes) {
    if (!soap_match_tag(soap, soap->tag, fake.tag)) serve = fake.serve;
  }
  if (serve(soap) && soap->error && soap->error < SOAP_STOP) soap_send_fault(soap);
}

struct soap* g_soap = nullptr;
int g_omode = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  torvane_fuzz::IsolateProcess();
  // The server's context settings (see Loader/main.cpp).
  g_soap = soap_new();
  soap_set_mode(g_soap, SOAP_C_UTFSTRING);
  soap_set_imode(g_soap, SOAP_C_UTFSTRING);
  soap_set_omode(g_soap, SOAP_C_UTFSTRING);
  g_soap->fget = torvane::StaticFileHandler;
  g_soap->recv_maxlength = 8ul << 20;
  g_soap->frecv = Receive;
  g_soap->fsend = Send;
  g_soap->fclose = Close;
  // The runtime writes HTTP status lines (rather than CGI ones) only for a
  // server with a listening socket: give it one that is never used.
  g_soap->master = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  g_omode = g_soap->omode;
  g_echo = getenv("FUZZ_SOAP_ECHO") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_in = data;
  g_left = size;
  g_sent = 0;
  g_head.clear();
  ServeOne(g_soap);
  soap_destroy(g_soap);
  soap_end(g_soap);
  g_soap->omode = g_omode;
  // Every request that was read gets an HTTP answer.
  FUZZ_CHECK(g_sent == 0 || g_head.compare(0, 5, "HTTP/") == 0);
  // Keep the engine's tables from growing from one input to the next.
  torvane::ClearMonitorList();
  torvane::ClearUpgradeTable();
  torvane::ClearOperateList();
  torvane::ClearRequestTracker();
  return 0;
}
