#include "engine/agent_table.h"

#include <cstring>
#include <mutex>

namespace torvane {
namespace {

std::mutex g_agentMutex;                // guards g_agents
std::vector<AgentRecord> g_agents;

}  // namespace

void ClearAgentTable() {
  std::lock_guard<std::mutex> lock(g_agentMutex);
  g_agents.clear();
}

void AppendAgentRecord(const AgentRecord& rec) {
  std::lock_guard<std::mutex> lock(g_agentMutex);
  g_agents.push_back(rec);
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
