// The operation lock: web service operations run one at a time, in the
// order in which their requests arrived complete, whatever connection
// carried them. Reading requests and writing answers happen outside it, so
// a slow or silent client holds up only its own connection.
#pragma once

namespace torvane {

// Waits until every operation whose request arrived earlier has finished,
// then holds the lock. Not recursive.
void AcquireOperationLock();
void ReleaseOperationLock();

// Holds the operation lock for one request.
class OperationGuard {
 public:
  OperationGuard() { AcquireOperationLock(); }
  ~OperationGuard() { ReleaseOperationLock(); }
  OperationGuard(const OperationGuard&) = delete;
  OperationGuard& operator=(const OperationGuard&) = delete;
};

// Lets other operations run while the holder waits for something outside
// the server (the operator's answer to a dialog). The holder takes the lock
// back ahead of every queued request, as soon as the running operation (if
// any) has finished.
class OperationPause {
 public:
  OperationPause();
  ~OperationPause();
  OperationPause(const OperationPause&) = delete;
  OperationPause& operator=(const OperationPause&) = delete;

 private:
  bool paused_;
};

}  // namespace torvane
