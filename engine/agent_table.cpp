#include "engine/agent_table.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "engine/drop_report.h"
#include "platform/tick.h"

namespace torvane {
namespace {

std::mutex g_agentMutex;                // guards g_agents
std::vector<AgentRecord> g_agents;      // at most g_agentLimit records

std::atomic<size_t> g_agentLimit{
    LimitFromEnvironment("TORVANE_TEST_AGENT_LIMIT", kAgentTableLimit)};

DropReport& AgentDrops() {
  static DropReport* report = new DropReport("discovery replies");
  return *report;
}

}  // namespace

size_t AgentTableLimit() { return g_agentLimit.load(); }

void SetAgentTableLimit(size_t limit) { g_agentLimit = limit > 0 ? limit : 1; }

uint64_t DroppedAgentRecordCount() { return AgentDrops().Total(); }

void ClearAgentTable() {
  std::vector<AgentRecord> doomed;  // a table that held a flood gives its memory back
  std::lock_guard<std::mutex> lock(g_agentMutex);
  doomed.swap(g_agents);
}

int AppendAgentRecord(const AgentRecord& rec) {
  {
    std::lock_guard<std::mutex> lock(g_agentMutex);
    if (g_agents.size() < g_agentLimit.load()) {
      try {
        g_agents.push_back(rec);
        return 1;
      } catch (const std::bad_alloc&) {
        // dropped like a record beyond the limit
      }
    }
  }
  AgentDrops().Note(GetTickMs());
  return 0;
}

int ReplaceAgentRecord(const AgentRecord& rec) {
  std::lock_guard<std::mutex> lock(g_agentMutex);
  for (AgentRecord& a : g_agents) {
    if (memcmp(a.macAddr, rec.macAddr, sizeof(a.macAddr)) == 0) {
      a = rec;
      return 1;
    }
  }
  return 0;
}

std::vector<AgentRecord> CopyAgentTable() {
  std::lock_guard<std::mutex> lock(g_agentMutex);
  return g_agents;
}

}  // namespace torvane
