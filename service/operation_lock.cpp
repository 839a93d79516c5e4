#include "service/operation_lock.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace torvane {
namespace {

// A queue of tickets: the lock goes to the front ticket when it is free.
struct OperationQueue {
  std::mutex mu;
  std::condition_variable cv;
  bool held = false;            // guarded by mu
  std::thread::id owner;        // guarded by mu; the holder while held
  uint64_t nextTicket = 0;      // guarded by mu
  std::deque<uint64_t> waiting;  // guarded by mu; front is served next
};

OperationQueue& Queue() {
  static OperationQueue* q = new OperationQueue;  // outlives every thread
  return *q;
}

void Acquire(bool first) {
  OperationQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mu);
  uint64_t me = q.nextTicket++;
  if (first) {
    q.waiting.push_front(me);
  } else {
    q.waiting.push_back(me);
  }
  q.cv.wait(lock, [&] { return !q.held && q.waiting.front() == me; });
  q.waiting.pop_front();
  q.held = true;
  q.owner = std::this_thread::get_id();
}

}  // namespace

void AcquireOperationLock() { Acquire(false); }

void ReleaseOperationLock() {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  q.held = false;
  q.cv.notify_all();
}

// A thread that does not hold the lock (an operation called directly, as
// the tests do) pauses nothing and takes nothing back.
OperationPause::OperationPause() {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  paused_ = q.held && q.owner == std::this_thread::get_id();
  if (paused_) {
    q.held = false;
    q.cv.notify_all();
  }
}

OperationPause::~OperationPause() {
  if (paused_) Acquire(true);
}

}  // namespace torvane
