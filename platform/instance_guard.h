// Single-instance guard: a named lock that the kernel drops when the
// process ends, however it ends (SIGKILL included), so a crashed server
// never leaves a stale lock behind.
#pragma once

namespace torvane {

enum class InstanceGuardResult {
  kAcquired,        // this process holds the guard until it ends
  kAlreadyRunning,  // another process holds it
  kError,           // the guard could not be created; the caller goes on
};

// Takes the guard called name (an abstract Unix socket address, so there
// is no file to clean up). The guard is held for the life of the process.
InstanceGuardResult AcquireInstanceGuard(const char* name);

}  // namespace torvane
