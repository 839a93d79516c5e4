// Process entry of the Torvane server: single-instance guard, the SOAP/HTTP
// server on TCP 64567, the push-channel thread, and the serve loop.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Loader/push_channel.h"
#include "Loader/static_files.h"
#include "platform/instance_guard.h"
#include "soapH.h"

#ifndef TORVANE_VERSION
#define TORVANE_VERSION "unknown"
#endif

namespace {

constexpr int kSoapPort = 64567;
constexpr int kBacklog = 100;
constexpr int kSocketBuffer = 65536;
// Largest request accepted. The longest legitimate one, AddUpgradeAgent
// with a few thousand switches, stays far below it; without a bound one
// client could make the server hold gigabytes for a single request.
constexpr unsigned long kMaxRequestBytes = 8ul << 20;

// Ends the process without running static destructors: engine threads may
// still be using the engine's tables.
[[noreturn]] void ExitNow(int code) {
  fflush(stdout);
  fflush(stderr);
  _exit(code);
}

}  // namespace

int main() {
  // Operators read these streams through pipes, files and journald: a line
  // must leave when it is complete, not when a block buffer fills.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  setvbuf(stderr, nullptr, _IOLBF, 0);
  // A peer that vanished is a failed send, never a dead server.
  signal(SIGPIPE, SIG_IGN);

  if (torvane::AcquireInstanceGuard("Torvane") == torvane::InstanceGuardResult::kAlreadyRunning) {
    return 0;
  }
  printf("Torvane server %s\n", TORVANE_VERSION);

  // One context for the life of the process; never destroyed.
  struct soap* soap = soap_new();
  soap_set_mode(soap, SOAP_C_UTFSTRING);
  soap_set_imode(soap, SOAP_C_UTFSTRING);
  soap_set_omode(soap, SOAP_C_UTFSTRING);
  soap->fget = torvane::StaticFileHandler;
  // A restart right after serving must not wait for TIME_WAIT connections
  // of the previous run; Linux still refuses a port another program holds.
  soap->bind_flags = SO_REUSEADDR;
  soap->sndbuf = kSocketBuffer;
  soap->rcvbuf = kSocketBuffer;
  soap->recv_maxlength = kMaxRequestBytes;

  SOAP_SOCKET master = soap_bind(soap, "0.0.0.0", kSoapPort, kBacklog);
  if (!soap_valid_socket(master)) {
    soap_print_fault(soap, stderr);
    ExitNow(-1);
  }
  int one = 1;
  setsockopt(master, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  int size = kSocketBuffer;
  setsockopt(master, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  setsockopt(master, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  printf("Socket connection successful: master socket = %d\n", master);

  std::thread(torvane::PushChannelThread).detach();

  const int omode = soap->omode;
  for (;;) {
    SOAP_SOCKET s = soap_accept(soap);
    if (!soap_valid_socket(s)) {
      soap_print_fault(soap, stderr);
      ExitNow(-1);
    }
    soap_serve(soap);
    soap_destroy(soap);
    soap_end(soap);
    // Handlers may change the output mode for their one response (the GET
    // handler, the unqualified tReqXmlList answer); the next request starts
    // from the process's settings again.
    soap->omode = omode;
  }
}
