#include "service/operation_lock.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace torvane {

// One place in the queue; woken alone when it may go.
struct OperationWaiter {
  std::condition_variable cv;
};

namespace {

// The lock goes to the front waiter when it is free and ready.
struct OperationQueue {
  std::mutex mu;
  bool held = false;                    // guarded by mu
  std::thread::id owner;                // guarded by mu; the holder while held
  std::deque<OperationWaiter*> waiting;  // guarded by mu; front goes next
};

OperationQueue& Queue() {
  static OperationQueue* q = new OperationQueue;  // outlives every thread
  return *q;
}

// Requires q.mu held.
void WakeFront(OperationQueue& q) {
  if (!q.held && !q.waiting.empty()) q.waiting.front()->cv.notify_one();
}

// Requires lock on q.mu; w is queued. Returns holding the lock.
void WaitTurn(OperationQueue& q, std::unique_lock<std::mutex>& lock, OperationWaiter* w) {
  w->cv.wait(lock, [&] { return !q.held && q.waiting.front() == w; });
  q.waiting.pop_front();
  q.held = true;
  q.owner = std::this_thread::get_id();
}

void Acquire(bool first) {
  OperationQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mu);
  if (!q.held && q.waiting.empty()) {
    q.held = true;
    q.owner = std::this_thread::get_id();
    return;
  }
  OperationWaiter me;
  if (first) {
    q.waiting.push_front(&me);
  } else {
    q.waiting.push_back(&me);
  }
  WaitTurn(q, lock, &me);
}

// Requires q.mu held.
void ReleaseLocked(OperationQueue& q) {
  q.held = false;
  WakeFront(q);
}

}  // namespace

void AcquireOperationLock() { Acquire(false); }

void ReleaseOperationLock() {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  ReleaseLocked(q);
}

OperationTurn::OperationTurn() : waiter_(new OperationWaiter) {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  q.waiting.push_back(waiter_);
}

OperationTurn::~OperationTurn() { Done(); }

void OperationTurn::Wait() {
  if (waiter_ == nullptr) return;
  OperationQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mu);
  WaitTurn(q, lock, waiter_);
  delete waiter_;
  waiter_ = nullptr;
  holding_ = true;
}

void OperationTurn::Done() {
  OperationQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  if (holding_) {
    holding_ = false;
    ReleaseLocked(q);
  }
  if (waiter_ != nullptr) {
    // Never ran (its request could not be read): the next one goes.
    auto it = std::find(q.waiting.begin(), q.waiting.end(), waiter_);
    bool wasFront = it == q.waiting.begin();
    if (it != q.waiting.end()) q.waiting.erase(it);
    delete waiter_;
    waiter_ = nullptr;
    if (wasFront) WakeFront(q);
  }
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
