#include "service/operation_lock.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace torvane {
namespace {

// One waiting request; woken alone when its turn comes.
struct Waiter {
  std::condition_variable cv;
};

// The lock goes to the front waiter when it is free.
struct OperationQueue {
  std::mutex mu;
  bool held = false;             // guarded by mu
  std::thread::id owner;         // guarded by mu; the holder while held
  std::deque<Waiter*> waiting;   // guarded by mu; front is served next
};

OperationQueue& Queue() {
  static OperationQueue* q = new OperationQueue;  // outlives every thread
  return *q;
}

void Acquire(bool first) {
  OperationQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mu);
  if (!q.held && q.waiting.empty()) {
    q.held = true;
    q.owner = std::this_thread::get_id();
    return;
  }
  Waiter me;
  if (first) {
    q.waiting.push_front(&me);
  } else {
    q.waiting.push_back(&me);
  }
  me.cv.wait(lock, [&] { return !q.held && q.waiting.front() == &me; });
  q.waiting.pop_front();
  q.held = true;
  q.owner = std::this_thread::get_id();
}

// Requires q.mu held.
void ReleaseLocked(OperationQueue& q) {
  q.held = false;
  if (!q.waiting.empty()) q.waiting.front()->cv.notify_one();
}

}  // namespace

void AcquireOperationLock() { Acquire(false); }

void ReleaseOperationLock() {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  ReleaseLocked(q);
}

// A thread that does not hold the lock (an operation called directly, as
// the tests do) pauses nothing and takes nothing back.
OperationPause::OperationPause() {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  paused_ = q.held && q.owner == std::this_thread::get_id();
  if (paused_) ReleaseLocked(q);
}

OperationPause::~OperationPause() {
  if (paused_) Acquire(true);
}

}  // namespace torvane
