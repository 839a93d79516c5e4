#include "Loader/http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "Loader/request_framing.h"
#include "platform/server_limits.h"
#include "service/operation_lock.h"
#include "soapH.h"

namespace torvane {
namespace {

using Clock = std::chrono::steady_clock;

// Largest request accepted. The longest legitimate one, AddUpgradeAgent
// with a few thousand switches, stays far below it; without a bound one
// client could make the server hold gigabytes for a single request.
constexpr size_t kMaxRequestBytes = 8ul << 20;
constexpr size_t kReadChunk = 64 * 1024;
// Pause after an accept error that a retry at once would only repeat.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// At the cap, only a connection whose client has sent nothing of its
// request for this long counts as idle and may be closed for a new one: a
// client that is merely in the middle of sending is never cut off.
constexpr auto kIdleBeforeEviction = std::chrono::milliseconds(1000);

// What the runtime reads and writes while one request is served.
struct BufferIo {
  const std::string* request;
  size_t position;
  std::string* answer;
  OperationTurn* turn;  // for a request that may reach an operation
};

// Called by the runtime when the request has been parsed whole, just
// before the operation runs: the operation waits for its turn here.
int TakeTurn(struct soap* soap) {
  BufferIo* io = static_cast<BufferIo*>(soap->user);
  if (io->turn != nullptr) io->turn->Wait();
  return SOAP_OK;
}

// Called by the runtime when it begins the answer: the operation is over,
// and the answer, a copy of its results, is written outside the lock.
int EndTurn(struct soap* soap) {
  BufferIo* io = static_cast<BufferIo*>(soap->user);
  if (io->turn != nullptr) io->turn->Done();
  return SOAP_OK;
}

size_t BufferRecv(struct soap* soap, char* s, size_t n) {
  BufferIo* io = static_cast<BufferIo*>(soap->user);
  size_t left = io->request->size() - io->position;
  if (n > left) n = left;
  memcpy(s, io->request->data() + io->position, n);
  io->position += n;
  return n;
}

int BufferSend(struct soap* soap, const char* s, size_t n) {
  BufferIo* io = static_cast<BufferIo*>(soap->user);
  // The first piece is the HTTP head; by then the runtime knows the body's
  // length, so the buffer grows once, not by repeated copies.
  if (io->answer->empty() && soap->count > 0) {
    io->answer->reserve(static_cast<size_t>(soap->count) + n + 1024);
  }
  io->answer->append(s, n);
  return SOAP_OK;
}

int NoPoll(struct soap*) { return SOAP_OK; }

int MsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

// --- Open connections ------------------------------------------------------

// kReading: waiting for the request; kServing: waiting for or running its
// operation; kWriting: handing over the answer.
enum class Phase { kReading, kServing, kWriting };

struct Connection {
  int fd = -1;
  char peer[64] = "";
  Phase phase = Phase::kReading;  // guarded by Table().mu
  bool evicted = false;           // guarded by Table().mu
  Clock::time_point accepted;
  // When the client last sent part of its request (kReading; the accept
  // counts as the first).
  std::atomic<Clock::rep> lastRecv{0};
  // When the client last took part of its answer (kWriting).
  std::atomic<Clock::rep> lastSend{0};
};

struct ConnectionTable {
  std::mutex mu;
  int open = 0;                     // accepted and not yet closed
  uint64_t nextId = 0;
  std::map<uint64_t, Connection*> byAge;  // open connections, oldest first
  int threads = 0;                        // connection threads started
  int idleThreads = 0;                    // of them, waiting in accept
};

ConnectionTable& Table() {
  static ConnectionTable* table = new ConnectionTable;  // outlives every thread
  return *table;
}

// Requires Table().mu held. Idle: sending nothing of its request for 1 s,
// or taking nothing of its answer for 1 s.
bool IsIdle(const Connection* c, Clock::time_point now) {
  if (c->evicted) return false;
  if (c->phase == Phase::kReading) {
    return now - Clock::time_point(Clock::duration(c->lastRecv.load())) >= kIdleBeforeEviction;
  }
  if (c->phase == Phase::kWriting) {
    return now - Clock::time_point(Clock::duration(c->lastSend.load())) >= kIdleBeforeEviction;
  }
  return false;
}

// Requires Table().mu held. Shuts the oldest idle connection, which wakes
// its thread. Returns false when there is none.
bool EvictOldestIdle(ConnectionTable& t) {
  Clock::time_point now = Clock::now();
  for (auto& entry : t.byAge) {
    Connection* c = entry.second;
    if (IsIdle(c, now)) {
      c->evicted = true;
      shutdown(c->fd, SHUT_RDWR);
      return true;
    }
  }
  return false;
}

enum class ReadResult { kRequest, kNothing, kTimedOut, kEvicted, kFailed };

// Reads one whole request (or what the client sent before it closed).
ReadResult ReadRequest(Connection* c, Clock::time_point deadline, std::string* request) {
  char chunk[kReadChunk];
  for (;;) {
    RequestFrame frame = FrameRequest(*request);
    if (frame == RequestFrame::kComplete || frame == RequestFrame::kMalformed) {
      return ReadResult::kRequest;
    }
    // Too long to be a request of this service: the runtime refuses it.
    if (request->size() > kMaxRequestBytes + kMaxRequestHead) return ReadResult::kRequest;
    // Whatever has arrived is taken first; only then is there a wait.
    ssize_t n = recv(c->fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n > 0) {
      request->append(chunk, static_cast<size_t>(n));
      c->lastRecv = Clock::now().time_since_epoch().count();
      continue;
    }
    if (n == 0) {
      {
        std::lock_guard<std::mutex> lock(Table().mu);
        if (c->evicted) return ReadResult::kEvicted;
      }
      // The client has said all it will: serve what came, as the runtime
      // always did (a body without length ends here).
      return request->empty() ? ReadResult::kNothing : ReadResult::kRequest;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadResult::kFailed;
    int wait = MsUntil(deadline);
    if (wait == 0) return ReadResult::kTimedOut;
    pollfd p{c->fd, POLLIN, 0};
    if (poll(&p, 1, wait) < 0 && errno != EINTR) return ReadResult::kFailed;
  }
}

// Writes the answer; false when the client did not take it in time.
bool WriteAnswer(Connection* c, const std::string& answer, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < answer.size()) {
    ssize_t n = send(c->fd, answer.data() + sent, answer.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      c->lastSend = Clock::now().time_since_epoch().count();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;  // the client has gone
    int wait = MsUntil(deadline);
    if (wait == 0) return false;
    pollfd p{c->fd, POLLOUT, 0};
    if (poll(&p, 1, wait) < 0 && errno != EINTR) return true;
  }
  return true;
}

void HandleConnection(struct soap* ctx, Connection* c) {
  const ServerLimits& limits = Limits();
  std::string request;
  ReadResult read =
      ReadRequest(c, Clock::now() + std::chrono::milliseconds(limits.recvTimeoutMs), &request);
  switch (read) {
    case ReadResult::kRequest:
      break;
    case ReadResult::kTimedOut:
      printf("Connection from %s closed: no whole request within %d ms \n", c->peer,
             limits.recvTimeoutMs);
      return;
    case ReadResult::kEvicted:
      break;
    case ReadResult::kNothing:
    case ReadResult::kFailed:
      return;
  }
  bool evicted;
  {
    std::lock_guard<std::mutex> lock(Table().mu);
    evicted = c->evicted;
    c->phase = Phase::kServing;
  }
  if (evicted) {
    // Closed for a newer connection, perhaps just as its request came in:
    // nothing of it is served.
    printf("Connection from %s closed: %d connections are open \n", c->peer,
           limits.maxConnections);
    return;
  }
  std::string answer;
  ServeRequest(ctx, request, &answer);
  {
    std::lock_guard<std::mutex> lock(Table().mu);
    c->lastSend = Clock::now().time_since_epoch().count();
    c->phase = Phase::kWriting;
  }
  bool taken = WriteAnswer(c, answer, Clock::now() + std::chrono::milliseconds(limits.sendTimeoutMs));
  bool evictedNow;
  {
    std::lock_guard<std::mutex> lock(Table().mu);
    evictedNow = c->evicted;
  }
  if (evictedNow) {
    printf("Connection from %s closed: %d connections are open \n", c->peer,
           limits.maxConnections);
    return;
  }
  if (!taken) {
    printf("Connection from %s closed: answer not taken within %d ms \n", c->peer,
           limits.sendTimeoutMs);
    return;
  }
  shutdown(c->fd, SHUT_WR);
}

bool IsTransientAcceptError(int err) {
  switch (err) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:  // refused by a firewall rule
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}


// Set while accept fails, so that a run of the same error is one line.
std::atomic<int> g_acceptError{0};

// Takes the next connection from the listening socket. Transient errors
// are logged and retried after a pause; any other ends the process.
int AcceptConnection(struct soap* tmpl, Connection* c) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    int fd = accept4(tmpl->master, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (g_acceptError.exchange(0) != 0) fprintf(stderr, "accept works again \n");
      c->fd = fd;
      c->accepted = Clock::now();
      c->lastRecv = c->accepted.time_since_epoch().count();
      c->peer[0] = '\0';
      if (peer.ss_family == AF_INET) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&peer);
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &in->sin_addr, ip, sizeof(ip));
        snprintf(c->peer, sizeof(c->peer), "%s:%u", ip, ntohs(in->sin_port));
      }
      return fd;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (!IsTransientAcceptError(err)) {
      // The listening socket itself is gone.
      flockfile(stderr);
      soap_set_receiver_error(tmpl, "accept failed", strerror(err), SOAP_TCP_ERROR);
      soap_print_fault(tmpl, stderr);
      funlockfile(stderr);
      fflush(stdout);
      fflush(stderr);
      _exit(-1);
    }
    if (g_acceptError.exchange(err) != err) {
      fprintf(stderr, "accept error: %s; retrying \n", strerror(err));
    }
    std::this_thread::sleep_for(kAcceptRetryPause);
  }
}

void StartConnectionThread(struct soap* tmpl);

// A connection thread: accepts a connection, serves it, and accepts the
// next, with its own copy of the context. Taking connections on the
// threads that serve them hands nothing from thread to thread.
void ConnectionThread(struct soap* tmpl, struct soap* ctx) {
  ConnectionTable& t = Table();
  Connection conn;
  Connection* c = &conn;
  for (;;) {
    AcceptConnection(tmpl, c);
    uint64_t id;
    {
      std::lock_guard<std::mutex> lock(t.mu);
      --t.idleThreads;
      ++t.open;
      c->phase = Phase::kReading;
      c->evicted = false;
      id = t.nextId++;
      t.byAge[id] = c;
      // The last thread waiting for connections starts another, up to one
      // per possible open connection.
      if (t.idleThreads == 0 && t.threads < Limits().maxConnections) StartConnectionThread(tmpl);
    }
    HandleConnection(ctx, c);
    {
      // Out of the table first: no eviction may shut a descriptor number
      // that close has already given back.
      std::lock_guard<std::mutex> lock(t.mu);
      t.byAge.erase(id);
    }
    close(c->fd);
    std::lock_guard<std::mutex> lock(t.mu);
    --t.open;
    ++t.idleThreads;
  }
}

// Requires Table().mu held.
void StartConnectionThread(struct soap* tmpl) {
  ConnectionTable& t = Table();
  struct soap* ctx = soap_copy(tmpl);
  if (ctx == nullptr) return;
  try {
    std::thread(ConnectionThread, tmpl, ctx).detach();
  } catch (const std::system_error&) {
    soap_free(ctx);
    return;  // the threads already running serve in turn
  }
  ++t.threads;
  ++t.idleThreads;
}

}  // namespace

std::string ServedRequestLine(struct soap* ctx) {
  if (ctx == nullptr || ctx->user == nullptr || ctx->frecv != BufferRecv) return std::string();
  const BufferIo* io = static_cast<const BufferIo*>(ctx->user);
  return std::string(RequestLine(*io->request));
}

void ServeRequest(struct soap* ctx, const std::string& request, std::string* answer) {
  BufferIo io{&request, 0, answer, nullptr};
  void* user = ctx->user;
  const int omode = ctx->omode;
  const int imode = ctx->imode;
  const SOAP_SOCKET master = ctx->master;
  ctx->user = &io;
  ctx->frecv = BufferRecv;
  ctx->fsend = BufferSend;
  ctx->fpoll = NoPoll;
  ctx->fpreparefinalrecv = TakeTurn;
  ctx->fprepareinitsend = EndTurn;
  ctx->socket = SOAP_INVALID_SOCKET;
  // The runtime writes an HTTP status line only for a server with a
  // listening socket (else a CGI "Status:" line). It is never used here:
  // all I/O goes through the buffers.
  if (!soap_valid_socket(ctx->master)) ctx->master = 0;
  ctx->keep_alive = 0;
  // The answer is collected whole anyway: write it once, not once to count
  // its length and once more to send it.
  ctx->omode = (ctx->omode & ~SOAP_IO) | SOAP_IO_STORE;
  {
    // GET only reads the browser client's files; everything else may reach
    // an operation, and takes its place in the order now that it has
    // arrived whole. Parsing and writing the answer run outside the lock;
    // the operation itself runs between TakeTurn and EndTurn.
    std::unique_ptr<OperationTurn> turn;
    if (RequestMethod(request) != "GET") turn.reset(new OperationTurn);
    io.turn = turn.get();
    soap_serve(ctx);
    turn.reset();  // a request that never reached its operation gives up its place
    soap_destroy(ctx);
    soap_end(ctx);
  }
  // Handlers may change the output mode for their one answer (the GET
  // handler); the next request starts from the process's settings again.
  ctx->omode = omode;
  ctx->imode = imode;
  ctx->master = master;
  ctx->user = user;
}

void RunServer(struct soap* tmpl) {
  const ServerLimits& limits = Limits();
  ConnectionTable& t = Table();
  {
    std::lock_guard<std::mutex> lock(t.mu);
    StartConnectionThread(tmpl);
    StartConnectionThread(tmpl);
  }
  // The connection threads accept. Here: when every one of them is busy
  // and new connections wait in the backlog, the oldest connection idle
  // for 1 s is closed to make room; and a thread that could not be started
  // when it was needed is started later.
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(t.mu);
    // A thread that could not be started when it was needed is tried again.
    if (t.idleThreads == 0 && t.threads < limits.maxConnections) StartConnectionThread(tmpl);
    if (t.idleThreads > 0 || t.open < limits.maxConnections) continue;
    pollfd p{tmpl->master, POLLIN, 0};
    if (poll(&p, 1, 0) == 1) EvictOldestIdle(t);
  }
}

}  // namespace torvane
