#include "platform/instance_guard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace torvane {

InstanceGuardResult AcquireInstanceGuard(const char* name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return InstanceGuardResult::kError;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract namespace: leading NUL, then the name (not NUL-terminated).
  size_t len = strnlen(name, sizeof(addr.sun_path) - 1);
  memcpy(addr.sun_path + 1, name, len);
  socklen_t addrlen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addrlen) == 0) {
    // Deliberately never closed: the binding is the guard.
    return InstanceGuardResult::kAcquired;
  }
  int err = errno;
  close(fd);
  return err == EADDRINUSE ? InstanceGuardResult::kAlreadyRunning : InstanceGuardResult::kError;
}

}  // namespace torvane
