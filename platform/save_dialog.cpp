#include "platform/save_dialog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/console.h"
#include "platform/server_limits.h"

namespace torvane {
namespace {

bool HaveGraphicalSession() {
  const char* x = getenv("DISPLAY");
  const char* w = getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x) || (w != nullptr && *w);
}

bool HaveZenity() {
  return access("/usr/bin/zenity", X_OK) == 0 || access("/usr/local/bin/zenity", X_OK) == 0;
}

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Runs zenity's save dialog; true with the chosen path. A dialog still
// open at the deadline is closed and counts as cancelled.
bool ZenityChoose(std::string* path, Clock::time_point deadline) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    // The dialog gets its three standard streams and nothing else.
    close_range(3, ~0U, 0);
    execlp("zenity", "zenity", "--file-selection", "--save", "--confirm-overwrite",
           "--filename=*.cfg", "--file-filter=config File (*.cfg) | *.cfg", (char*)nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  bool expired = false;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int r = poll(&p, 1, MsUntil(deadline));
    if (r == 0) {
      expired = true;
      break;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (expired) {
    kill(pid, SIGTERM);
    printf("Save cancelled: no answer within %g s.\n", Limits().promptTimeoutMs / 1000.0);
  }
  int status = 0;
  if (expired) {
    // A dialog that ignores SIGTERM is killed after a second: the next save
    // must not wait behind it.
    for (int i = 0; i < 20 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(50 * 1000);
    if (waitpid(pid, &status, WNOHANG) == 0) kill(pid, SIGKILL);
  }
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (expired) return false;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) return false;
  *path = out;
  return true;
}

// The operator answers on the console; the whole exchange must end by the
// deadline, else the save is cancelled.
bool ConsoleChoose(std::string* path, Clock::time_point deadline) {
  std::string name;
  PromptResult r =
      ConsolePrompt("Save the watched switches as (config File (*.cfg), empty line cancels): \n",
                    &name, MsUntil(deadline));
  if (r == PromptResult::kExpired) {
    printf("Save cancelled: no answer within %g s.\n", Limits().promptTimeoutMs / 1000.0);
    return false;
  }
  if (r != PromptResult::kAnswered || name.empty()) {
    printf("Save cancelled.\n");
    return false;
  }
  struct stat st;
  if (stat(name.c_str(), &st) == 0) {
    std::string answer;
    r = ConsolePrompt(name + " already exists. Replace it? (y/n): \n", &answer, MsUntil(deadline));
    if (r == PromptResult::kExpired) {
      printf("Save cancelled: no answer within %g s.\n", Limits().promptTimeoutMs / 1000.0);
      return false;
    }
    if (r != PromptResult::kAnswered || (answer != "y" && answer != "Y" && answer != "yes")) {
      printf("Save cancelled.\n");
      return false;
    }
  }
  *path = name;
  return true;
}

}  // namespace

bool ChooseSaveFile(std::string* path) {
  // One dialog at a time: a second save waits for the first to be answered
  // and then gets its own time.
  static std::mutex dialogMu;
  std::lock_guard<std::mutex> lock(dialogMu);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(Limits().promptTimeoutMs);
  if (HaveGraphicalSession() && HaveZenity()) return ZenityChoose(path, deadline);
  return ConsoleChoose(path, deadline);
}

}  // namespace torvane
