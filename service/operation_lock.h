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

struct OperationWaiter;

// A request's place in the order, taken as soon as the request has arrived
// whole, so that the work before its operation (parsing) may run beside
// other operations without losing its place. Nobody behind it gets the
// lock until it has run or given up its place.
class OperationTurn {
 public:
  OperationTurn();   // a place at the back of the queue
  ~OperationTurn();  // gives up the place, or the lock, if still held
  void Wait();       // waits for the turn; then holds the lock
  void Done();       // releases the lock, or gives up the place
  OperationTurn(const OperationTurn&) = delete;
  OperationTurn& operator=(const OperationTurn&) = delete;

 private:
  OperationWaiter* waiter_;  // while the place is held
  bool holding_ = false;     // the lock
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
