#include "Loader/push_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/console.h"

namespace torvane {
namespace {

// A client that stops reading must not stall the engine thread that
// pushes to it (the set reply pushes while holding the operation list): a
// message that cannot go out whole within this time is a failed send.
constexpr int kSendTimeoutMs = 2000;

// The push client's connection, -1 when there is none. Set by the accept
// step once the client's first message has come, and cleared when a send
// fails; both under g_sendMutex, which also keeps each message's bytes
// together on the stream when several threads push at once.
std::mutex g_sendMutex;
std::atomic<int> g_client{-1};
std::atomic<int> g_listen{-1};

bool SetUpListeningSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "Push Socket INVALID_SOCKET!\n");
    return false;
  }
  // Our own connection from the previous run may sit in TIME_WAIT; without
  // this a restarted server would have no push channel for minutes. Linux
  // still refuses a second listener on the port.
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kPushPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (rc != 0) {
    fprintf(stderr, "Push Socket bind error! error code =%d \n", rc);
    close(fd);
    fprintf(stderr, "Server push socket closed.\n");
    return false;
  }
  listen(fd, 5);
  printf("Server push socket start to listen, port =%d.\n", kPushPort);
  g_listen = fd;
  return true;
}

// Accepts connections until one has delivered its first message.
void AcceptClient() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int fd = accept4(g_listen, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      printf("Accept connection error \n");
      // A persistent failure (no descriptors left) must not spin the CPU.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
    printf("Accept connection from %s, %d \n", ip, fd);
    char hello[257];
    ssize_t n = recv(fd, hello, 256, 0);
    if (n < 0) {
      printf("Recive packet error!\n");
      close(fd);
      continue;
    }
    hello[n] = '\0';
    {
      // Notifications flow once the client has spoken.
      std::lock_guard<std::mutex> lock(g_sendMutex);
      g_client = fd;
    }
    printf("Recive packet OK from %s: %s\n", ip, hello);
    return;
  }
}

// Reads the next whitespace-separated word, across lines. False at end of
// input. Words are at most 255 characters, as the command buffers.
bool NextWord(std::string* pending, std::string* word) {
  for (;;) {
    size_t start = pending->find_first_not_of(" \t\r\v\f");
    if (start != std::string::npos) {
      size_t end = pending->find_first_of(" \t\r\v\f", start);
      if (end == std::string::npos) end = pending->size();
      size_t take = std::min<size_t>(end - start, 255);
      *word = pending->substr(start, take);
      pending->erase(0, start + take);
      return true;
    }
    std::string line;
    if (!ConsoleReadLine(&line)) return false;
    *pending = line;
  }
}

void ConsoleLoop() {
  std::string pending;
  for (;;) {
    std::string command;
    std::string argument;
    bool both = NextWord(&pending, &command) && NextWord(&pending, &argument);
    if (both && command.find("send") != std::string::npos) {
      SendPushMessage(argument.c_str());
      continue;
    }
    if (command.find("exit") != std::string::npos) {
      printf("we will exit the Pending Input \n\n");
      return;
    }
    if (!both) {
      // Nobody will type any more: stop reading instead of spinning. The
      // listening socket stays as it is and notifications keep flowing.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
  }
}

}  // namespace

namespace {

// Sends len bytes on the non-blocking path of fd within kSendTimeoutMs.
// Returns false, with the reason in *why, when they did not all go out.
bool SendWhole(int fd, const char* data, size_t len, std::string* why) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
  size_t sent = 0;
  while (sent < len) {
    // MSG_NOSIGNAL: a client that has gone away is a failed send, not SIGPIPE.
    ssize_t n = send(fd, data + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *why = strerror(errno);
      return false;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLOUT, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      *why = "the client read nothing for " + std::to_string(kSendTimeoutMs / 1000) +
             " s, " + std::to_string(sent) + " of " + std::to_string(len) + " bytes went out";
      return false;
    }
  }
  return true;
}

}  // namespace

int SendPushMessage(const char* text) {
  std::lock_guard<std::mutex> lock(g_sendMutex);
  int fd = g_client.load();
  if (fd < 0) {
    printf("Cmd Send: %s. %s!\n", text, "fail");
    return -1;
  }
  std::string why;
  if (!SendWhole(fd, text, strlen(text) + 1, &why)) {
    printf("Cmd Send: %s. %s!\n", text, "fail");
    // Part of the message may be on the stream already: anything sent after
    // it would be read glued to its remainder. The client is gone for us.
    g_client = -1;
    close(fd);
    printf("Push client closed: %s \n", why.c_str());
    return -2;
  }
  printf("Cmd Send: %s. %s!\n", text, "success");
  return 0;
}

void PushChannelThread() {
  if (!SetUpListeningSocket()) {
    // Without a listening socket no client can ever be accepted; keep the
    // console (so "exit" still works) rather than retrying accept forever.
    ConsoleLoop();
    return;
  }
  AcceptClient();
  printf("we can send messge now! \n\n");
  ConsoleLoop();
  int fd = g_listen.exchange(-1);
  close(fd);
  fprintf(stderr, "Server push socket closed.\n");
}

}  // namespace torvane
