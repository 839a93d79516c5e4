#include "engine/drop_report.h"

#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "platform/local_time.h"

namespace torvane {
namespace {

// Every report, for FlushDropReports. Reports are process-wide objects that
// register themselves during static initialisation and are never freed.
std::mutex& RegistryMutex() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}

std::vector<DropReport*>& Registry() {
  static std::vector<DropReport*>* reports = new std::vector<DropReport*>;
  return *reports;
}

}  // namespace

DropReport::DropReport(const char* what) : what_(what) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry().push_back(this);
}

DropReport::~DropReport() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  std::vector<DropReport*>& reports = Registry();
  for (size_t i = 0; i < reports.size(); ++i) {
    if (reports[i] == this) {
      reports.erase(reports.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
}

void DropReport::Note(uint32_t now, uint32_t count) {
  if (count == 0) return;
  total_.fetch_add(count);
  std::lock_guard<std::mutex> lock(mu_);
  if (pending_ == 0) since_ = LocalTimeText();
  pending_ = count > UINT32_MAX - pending_ ? UINT32_MAX : pending_ + count;
  if (!printed_ || static_cast<uint32_t>(now - lastPrint_) >= kDropReportIntervalMs)
    PrintLocked(now);
}

void DropReport::Flush(uint32_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (pending_ == 0) return;
  if (!printed_ || static_cast<uint32_t>(now - lastPrint_) >= kDropReportIntervalMs)
    PrintLocked(now);
}

uint32_t DropReport::Pending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_;
}

void DropReport::PrintLocked(uint32_t now) {
  printf("%u %s dropped since %s \n", pending_, what_, since_.c_str());
  pending_ = 0;
  since_.clear();
  printed_ = true;
  lastPrint_ = now;
}

void FlushDropReports(uint32_t now) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  for (DropReport* r : Registry()) r->Flush(now);
}

size_t LimitFromEnvironment(const char* envName, size_t defaultLimit) {
  const char* text = getenv(envName);
  if (text == nullptr || *text == '\0') return defaultLimit;
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  if (*end != '\0' || text[0] == '-' || value == 0 || value > defaultLimit) return defaultLimit;
  return static_cast<size_t>(value);
}

}  // namespace torvane
