// The SOAP/HTTP front end: accepts connections on the listening socket and
// serves each on a connection thread of its own, while the operations run
// one at a time under the operation lock (service/operation_lock.h).
//
// Per connection: the request is read whole (receive time-out from the
// accept), served from memory with the thread's own copy of the SOAP
// context into an answer buffer, and the answer is then written out (send
// time-out); the connection carries one request and is closed.
//
// At most Limits().maxConnections (64) connections are open. When new
// ones wait at the cap, the oldest idle connection is closed to make room:
// one still waiting for its request 1 s after the accept, or one that has
// taken nothing of its answer for 1 s. While there is none, new
// connections wait in the listen backlog.
#pragma once

#include <string>

struct soap;

namespace torvane {

// Serves one whole HTTP request held in memory with ctx (a context copied
// from the process's template) and appends the bytes of its answer to
// *answer. A request other than GET takes its place in the operation order
// at once; its operation runs under the operation lock, once the request
// has been parsed, and its answer is written after the lock is released.
void ServeRequest(struct soap* ctx, const std::string& request, std::string* answer);

// The request line of the request that ctx is serving, as received; empty
// when none is known.
std::string ServedRequestLine(struct soap* ctx);

// Accepts and serves for the life of the process. Transient accept errors
// (a connection that failed before it was taken, a shortage of descriptors
// or memory) are logged and retried after a short pause; the process ends
// with exit code -1 only when the listening socket itself fails.
[[noreturn]] void RunServer(struct soap* tmpl);

}  // namespace torvane
