#include "platform/save_dialog.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

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

// Runs zenity's save dialog; true with the chosen path.
bool ZenityChoose(std::string* path) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execlp("zenity", "zenity", "--file-selection", "--save", "--confirm-overwrite",
           "--filename=*.cfg", "--file-filter=config File (*.cfg) | *.cfg", (char*)nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) return false;
  *path = out;
  return true;
}

bool ConsoleChoose(std::string* path) {
  std::string name;
  if (!ConsolePrompt("Save the watched switches as (config File (*.cfg), empty line cancels): ",
                     &name) ||
      name.empty()) {
    printf("Save cancelled.\n");
    return false;
  }
  struct stat st;
  if (stat(name.c_str(), &st) == 0) {
    std::string answer;
    if (!ConsolePrompt(name + " already exists. Replace it? (y/n): ", &answer) ||
        (answer != "y" && answer != "Y" && answer != "yes")) {
      printf("Save cancelled.\n");
      return false;
    }
  }
  *path = name;
  return true;
}

}  // namespace

bool ChooseSaveFile(std::string* path) {
  if (HaveGraphicalSession() && HaveZenity()) return ZenityChoose(path);
  return ConsoleChoose(path);
}

}  // namespace torvane
