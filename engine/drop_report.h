// Bounds on what the network can make the engine hold, and the report of
// what those bounds threw away.
//
// Every table and queue that received datagrams can grow (the trap list,
// the reply and upgrade queues, the agent table with its cycle's answered
// MACs) has a fixed limit. When it is full it drops a record, counts it in
// its DropReport and goes on; the report prints one line on standard
// output for the first drop and then at most one line a minute while drops
// go on:
//
//     "%u %s dropped since %s \n"   e.g. "1523 traps dropped since 2026/12/08 14:02:11 \n"
//
// with the number of records dropped since the previous line, what they
// were, and the local time of the first of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace torvane {

// Least time between two lines of one report.
constexpr uint32_t kDropReportIntervalMs = 60000;

class DropReport {
 public:
  // what names the dropped records in the line ("traps"); a literal.
  explicit DropReport(const char* what);
  ~DropReport();
  DropReport(const DropReport&) = delete;
  DropReport& operator=(const DropReport&) = delete;

  // Counts count dropped records at tick now; prints the line when none
  // was printed in the last kDropReportIntervalMs.
  void Note(uint32_t now, uint32_t count = 1);
  // Prints the line for drops not yet reported once the interval allows.
  void Flush(uint32_t now);
  // Records dropped since the process started.
  uint64_t Total() const { return total_.load(); }
  // Records dropped but not yet reported in a line.
  uint32_t Pending() const;

 private:
  void PrintLocked(uint32_t now);

  const char* what_;
  std::atomic<uint64_t> total_{0};
  mutable std::mutex mu_;    // guards the fields below
  uint32_t pending_ = 0;     // dropped since the last line
  std::string since_;        // local time of the first of them
  bool printed_ = false;     // a line has been printed
  uint32_t lastPrint_ = 0;   // tick of the last line
};

// Prints the pending line of every DropReport whose interval has run out.
// The receive thread calls it once a pass, so that the drops at the end of
// a flood are reported even when nothing is dropped after them.
void FlushDropReports(uint32_t now);

// The limit of a bounded table: defaultLimit, or the number in the
// environment variable envName when that is a whole number from 1 to
// defaultLimit. The variables exist only so that the tests can reach the
// limits with few datagrams; they can never raise one.
size_t LimitFromEnvironment(const char* envName, size_t defaultLimit);

}  // namespace torvane
