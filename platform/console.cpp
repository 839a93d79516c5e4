#include "platform/console.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace torvane {
namespace {

// The reader thread appends lines; the command loop and prompts take them.
// All fields are guarded by mu.
struct ConsoleState {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::string> lines;
  int promptsWaiting = 0;
  bool eof = false;
  bool started = false;
};

ConsoleState& State() {
  static ConsoleState* state = new ConsoleState;  // outlives every thread
  return *state;
}

void ReaderThread() {
  ConsoleState& s = State();
  std::string line;
  for (;;) {
    int c = getchar();
    if (c == EOF) break;
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(s.mu);
    s.lines.push_back(line);
    line.clear();
    s.cv.notify_all();
  }
  std::lock_guard<std::mutex> lock(s.mu);
  if (!line.empty()) s.lines.push_back(line);
  s.eof = true;
  s.cv.notify_all();
}

// Requires s.mu held.
void StartReaderLocked(ConsoleState& s) {
  if (s.started) return;
  s.started = true;
  std::thread(ReaderThread).detach();
}

}  // namespace

bool ConsoleReadLine(std::string* line) {
  ConsoleState& s = State();
  std::unique_lock<std::mutex> lock(s.mu);
  StartReaderLocked(s);
  s.cv.wait(lock, [&] { return (s.promptsWaiting == 0 && !s.lines.empty()) || (s.eof && s.lines.empty()); });
  if (s.lines.empty()) return false;
  *line = s.lines.front();
  s.lines.pop_front();
  s.cv.notify_all();
  return true;
}

PromptResult ConsolePrompt(const std::string& text, std::string* answer, int timeoutMs) {
  ConsoleState& s = State();
  std::unique_lock<std::mutex> lock(s.mu);
  StartReaderLocked(s);
  if (s.eof && s.lines.empty()) return PromptResult::kEnded;
  fputs(text.c_str(), stdout);
  fflush(stdout);
  ++s.promptsWaiting;
  auto ready = [&] { return !s.lines.empty() || s.eof; };
  bool answered = true;
  if (timeoutMs < 0) {
    s.cv.wait(lock, ready);
  } else {
    answered = s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  }
  --s.promptsWaiting;
  s.cv.notify_all();
  if (!answered) return PromptResult::kExpired;
  if (s.lines.empty()) return PromptResult::kEnded;
  *answer = s.lines.front();
  s.lines.pop_front();
  return PromptResult::kAnswered;
}

}  // namespace torvane
