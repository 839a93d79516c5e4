// Load generator for bench/web_service_load.py: N clients, each sending one
// request per connection (no keep-alive) for a number of seconds, reading
// each answer to the server's close. Prints one line:
//   calls=<n> rate=<calls/s> p50_ms=<..> p99_ms=<..> max_ms=<..> errors=<n>
// A call's time runs from connect to the end of the answer.
//
// Usage: http_load <ipv4> <port> <clients> <seconds> <request file>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Shared {
  sockaddr_in addr{};
  std::string request;
  Clock::time_point end;
  std::mutex mu;
  std::vector<double> latenciesMs;  // guarded by mu
  std::atomic<long> errors{0};
};

// One call; false on any failure or an answer that is not 200.
bool Call(Shared& s) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&s.addr), sizeof(s.addr)) == 0;
  size_t sent = 0;
  while (ok && sent < s.request.size()) {
    ssize_t n = send(fd, s.request.data() + sent, s.request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) ok = false; else sent += static_cast<size_t>(n);
  }
  char buf[65536];
  std::string head;
  while (ok) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (head.size() < 16) head.append(buf, static_cast<size_t>(std::min<ssize_t>(n, 16)));
  }
  close(fd);
  return ok && head.compare(9, 3, "200") == 0;
}

void Client(Shared& s) {
  std::vector<double> mine;
  while (Clock::now() < s.end) {
    auto t0 = Clock::now();
    bool ok = Call(s);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (ok) mine.push_back(ms); else ++s.errors;
  }
  std::lock_guard<std::mutex> lock(s.mu);
  s.latenciesMs.insert(s.latenciesMs.end(), mine.begin(), mine.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s <ipv4> <port> <clients> <seconds> <request file>\n", argv[0]);
    return 2;
  }
  Shared s;
  s.addr.sin_family = AF_INET;
  s.addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &s.addr.sin_addr) != 1) return 2;
  int clients = atoi(argv[3]);
  double seconds = atof(argv[4]);
  std::ifstream in(argv[5], std::ios::binary);
  s.request.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  auto start = Clock::now();
  s.end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(Client, std::ref(s));
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double>& l = s.latenciesMs;
  std::sort(l.begin(), l.end());
  auto pct = [&](double p) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<size_t>(p * l.size()))]; };
  printf("calls=%zu rate=%.0f p50_ms=%.2f p99_ms=%.2f max_ms=%.2f errors=%ld\n", l.size(),
         l.size() / elapsed, pct(0.5), pct(0.99), l.empty() ? 0.0 : l.back(), s.errors.load());
  return 0;
}
