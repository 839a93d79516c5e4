#include "engine/engine.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "engine/settings.h"

namespace torvane {
namespace {

// The registry is filled during static initialisation (single-threaded)
// and only read afterwards.
std::vector<EngineModule>& Registry() {
  static std::vector<EngineModule> modules;
  return modules;
}

std::vector<EngineModule> ModulesOf(EnginePhase phase) {
  std::vector<EngineModule> modules;
  for (const EngineModule& m : Registry())
    if (m.phase == phase) modules.push_back(m);
  std::stable_sort(modules.begin(), modules.end(),
                   [](const EngineModule& a, const EngineModule& b) { return a.order < b.order; });
  return modules;
}

std::once_flag g_startOnce;
std::once_flag g_completeOnce;
std::atomic<bool> g_started{false};
int g_startResult = 0;  // written inside g_startOnce only

}  // namespace

bool RegisterEngineModule(const EngineModule& module) {
  Registry().push_back(module);
  return true;
}

int EngineStart() {
  std::call_once(g_startOnce, [] {
    // The socket layer needs no start-up here, so the threads always run.
    int settingsOk = SettingsRead();
    for (const EngineModule& m : ModulesOf(EnginePhase::kStart))
      if (m.start) m.start();
    g_startResult = settingsOk;
    g_started = true;
  });
  return g_startResult;
}

void EngineCompleteStart() {
  std::call_once(g_completeOnce, [] {
    for (const EngineModule& m : ModulesOf(EnginePhase::kComplete))
      if (m.start) m.start();
  });
}

int EngineStop() {
  if (!g_started) return 1;
  std::vector<EngineModule> modules = ModulesOf(EnginePhase::kStart);
  std::vector<EngineModule> late = ModulesOf(EnginePhase::kComplete);
  modules.insert(modules.end(), late.begin(), late.end());
  for (auto it = modules.rbegin(); it != modules.rend(); ++it)
    if (it->stop) it->stop();
  return 1;
}

bool EngineStarted() { return g_started; }

}  // namespace torvane
