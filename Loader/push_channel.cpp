#include "Loader/push_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/console.h"

namespace torvane {
namespace {

// Written only by the push-channel thread (accept step); read by any
// thread that pushes a notification.
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
      g_client = -1;
      printf("Accept connection error \n");
      // A persistent failure (no descriptors left) must not spin the CPU.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    // A client that stops reading must not stall the engine thread that
    // pushes to it (the set reply pushes while holding the operation
    // list): a send that cannot finish within 2 s is a failed send.
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    g_client = fd;
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
    printf("Accept connection from %s, %d \n", ip, fd);
    char hello[257];
    ssize_t n = recv(fd, hello, 256, 0);
    if (n < 0) {
      printf("Recive packet error!\n");
      continue;
    }
    hello[n] = '\0';
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

int SendPushMessage(const char* text) {
  int fd = g_client.load();
  if (fd < 0) {
    printf("Cmd Send: %s. %s!\n", text, "fail");
    return -1;
  }
  // MSG_NOSIGNAL: a client that has gone away is a failed send, not SIGPIPE.
  if (send(fd, text, strlen(text) + 1, MSG_NOSIGNAL) < 0) {
    printf("Cmd Send: %s. %s!\n", text, "fail");
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
