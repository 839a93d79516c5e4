#include "Loader/http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
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
// At the cap, only a connection that has been waiting this long for its
// request counts as idle and may be closed for a new one: a client that
// is merely in the middle of sending is never cut off.
constexpr auto kIdleBeforeEviction = std::chrono::milliseconds(1000);

// What the runtime reads and writes while one request is served.
struct BufferIo {
  const std::string* request;
  size_t position;
  std::string* answer;
};

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

enum class Phase { kReading, kBusy };

struct Connection {
  int fd = -1;
  char peer[64] = "";
  Phase phase = Phase::kReading;  // guarded by Table().mu
  bool evicted = false;           // guarded by Table().mu
  Clock::time_point accepted;
};

struct ConnectionTable {
  std::mutex mu;
  std::condition_variable queuedCv;  // a connection waits for a thread
  std::condition_variable closedCv;  // a connection was closed
  int open = 0;                     // accepted and not yet closed
  uint64_t nextId = 0;
  std::map<uint64_t, Connection*> byAge;  // connections on a thread, oldest first
  std::deque<Connection*> queued;         // accepted, waiting for a thread
  int threads = 0;                        // connection threads started
  int idleThreads = 0;                    // of them, waiting for a connection
};

ConnectionTable& Table() {
  static ConnectionTable* table = new ConnectionTable;  // outlives every thread
  return *table;
}

// Requires Table().mu held. Shuts the oldest connection that is still
// waiting for its request, which wakes its thread. Returns false when no
// open connection is idle.
bool EvictOldestIdle(ConnectionTable& t) {
  Clock::time_point now = Clock::now();
  for (auto& entry : t.byAge) {
    Connection* c = entry.second;
    if (c->phase == Phase::kReading && !c->evicted && now - c->accepted >= kIdleBeforeEviction) {
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
    int wait = MsUntil(deadline);
    if (wait == 0) return ReadResult::kTimedOut;
    pollfd p{c->fd, POLLIN, 0};
    int r = poll(&p, 1, wait);
    if (r < 0 && errno != EINTR) return ReadResult::kFailed;
    if (r <= 0) continue;
    ssize_t n = recv(c->fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return ReadResult::kFailed;
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
    request->append(chunk, static_cast<size_t>(n));
  }
}

// Writes the answer; false when the client did not take it in time.
bool WriteAnswer(Connection* c, const std::string& answer, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < answer.size()) {
    int wait = MsUntil(deadline);
    if (wait == 0) return false;
    pollfd p{c->fd, POLLOUT, 0};
    int r = poll(&p, 1, wait);
    if (r < 0 && errno != EINTR) return true;
    if (r <= 0) continue;
    ssize_t n = send(c->fd, answer.data() + sent, answer.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return true;  // the client has gone; nothing to wait for
    }
    sent += static_cast<size_t>(n);
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
      printf("Connection from %s closed: %d connections are open \n", c->peer,
             limits.maxConnections);
      return;
    case ReadResult::kNothing:
    case ReadResult::kFailed:
      return;
  }
  {
    std::lock_guard<std::mutex> lock(Table().mu);
    c->phase = Phase::kBusy;
  }
  std::string answer;
  ServeRequest(ctx, request, &answer);
  if (!WriteAnswer(c, answer, Clock::now() + std::chrono::milliseconds(limits.sendTimeoutMs))) {
    printf("Connection from %s closed: answer not taken within %d ms \n", c->peer,
           limits.sendTimeoutMs);
    return;
  }
  shutdown(c->fd, SHUT_WR);
}

// A connection thread: serves queued connections, one at a time, with its
// own copy of the context.
void ConnectionThread(struct soap* tmpl) {
  struct soap* ctx = soap_copy(tmpl);
  ConnectionTable& t = Table();
  for (;;) {
    Connection* c;
    uint64_t id;
    {
      std::unique_lock<std::mutex> lock(t.mu);
      ++t.idleThreads;
      t.queuedCv.wait(lock, [&] { return !t.queued.empty(); });
      --t.idleThreads;
      c = t.queued.front();
      t.queued.pop_front();
      id = t.nextId++;
      t.byAge[id] = c;
    }
    HandleConnection(ctx, c);
    {
      // Out of the table first: no eviction may shut a descriptor number
      // that close has already given back.
      std::lock_guard<std::mutex> lock(t.mu);
      t.byAge.erase(id);
    }
    close(c->fd);
    delete c;
    {
      std::lock_guard<std::mutex> lock(t.mu);
      --t.open;
      t.closedCv.notify_all();
    }
  }
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

}  // namespace

std::string ServedRequestLine(struct soap* ctx) {
  if (ctx == nullptr || ctx->user == nullptr || ctx->frecv != BufferRecv) return std::string();
  const BufferIo* io = static_cast<const BufferIo*>(ctx->user);
  return std::string(RequestLine(*io->request));
}

void ServeRequest(struct soap* ctx, const std::string& request, std::string* answer) {
  BufferIo io{&request, 0, answer};
  void* user = ctx->user;
  const int omode = ctx->omode;
  const int imode = ctx->imode;
  const SOAP_SOCKET master = ctx->master;
  ctx->user = &io;
  ctx->frecv = BufferRecv;
  ctx->fsend = BufferSend;
  ctx->fpoll = NoPoll;
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
    // an operation.
    bool operation = RequestMethod(request) != "GET";
    if (operation) AcquireOperationLock();
    soap_serve(ctx);
    soap_destroy(ctx);
    soap_end(ctx);
    if (operation) ReleaseOperationLock();
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
  const int master = tmpl->master;
  ConnectionTable& t = Table();
  bool reported = false;  // one line per run of the same accept error
  int lastError = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(t.mu);
      while (t.open >= limits.maxConnections) {
        // Else new connections wait in the listen backlog until one closes
        // or becomes idle long enough.
        EvictOldestIdle(t);
        t.closedCv.wait_for(lock, std::chrono::milliseconds(100));
      }
    }
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    int fd = accept4(master, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (!IsTransientAcceptError(err)) {
        soap_set_receiver_error(tmpl, "accept failed", strerror(err), SOAP_TCP_ERROR);
        flockfile(stderr);
        soap_print_fault(tmpl, stderr);
        funlockfile(stderr);
        fflush(stdout);
        fflush(stderr);
        _exit(-1);
      }
      if (err == EINTR) continue;
      if (!reported || err != lastError) {
        fprintf(stderr, "accept error: %s; retrying \n", strerror(err));
        reported = true;
        lastError = err;
      }
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    if (reported) {
      fprintf(stderr, "accept works again \n");
      reported = false;
    }
    Connection* c = new Connection;
    c->fd = fd;
    c->accepted = Clock::now();
    if (peer.ss_family == AF_INET) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&peer);
      char ip[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &in->sin_addr, ip, sizeof(ip));
      snprintf(c->peer, sizeof(c->peer), "%s:%u", ip, ntohs(in->sin_port));
    }
    std::lock_guard<std::mutex> lock(t.mu);
    ++t.open;
    t.queued.push_back(c);
    // Threads are started as connections need them, up to one per open
    // connection, so an accepted connection never waits for a thread.
    if (t.idleThreads < static_cast<int>(t.queued.size()) && t.threads < limits.maxConnections) {
      try {
        std::thread(ConnectionThread, tmpl).detach();
        ++t.threads;
      } catch (const std::system_error&) {
        // The threads already running serve it in turn.
      }
    }
    t.queuedCv.notify_one();
  }
}

}  // namespace torvane
