// Engine lifecycle: start, stop, and the registry of engine modules.
//
// Each engine module (adapters, dispatchers, monitoring, ...) registers
// itself with TORVANE_ENGINE_MODULE; the lifecycle starts and stops the
// registered modules in their order without knowing what they run.
#pragma once

#include <cstdint>

namespace torvane {

enum class EnginePhase {
  kStart,     // engine start: runs whenever the socket layer is up
  kComplete,  // after an engine start that returned 1 (EngineLayerStartup)
};

struct EngineModule {
  const char* name;
  EnginePhase phase;
  int order;             // lower starts first within a phase
  void (*start)();       // creates the module's threads; may be null
  void (*stop)();        // frees the module's tables at engine stop; may be null
};

// Adds a module to the registry. Called during static initialisation.
bool RegisterEngineModule(const EngineModule& module);

#define TORVANE_ENGINE_MODULE_CAT2(a, b) a##b
#define TORVANE_ENGINE_MODULE_CAT(a, b) TORVANE_ENGINE_MODULE_CAT2(a, b)
#define TORVANE_ENGINE_MODULE(...)                                                 \
  static const bool TORVANE_ENGINE_MODULE_CAT(torvane_module_registered_, __LINE__) = \
      ::torvane::RegisterEngineModule(::torvane::EngineModule{__VA_ARGS__})

// Engine start: reads the settings and starts the kStart modules. Runs
// once per process; later calls return the first call's result and start
// nothing. Returns 1 when the settings were valid and the discovery port
// was free, else 0.
int EngineStart();

// Starts the kComplete modules (once per process).
void EngineCompleteStart();

// Engine stop, on the way out of the process: stops every module in
// reverse order. Returns 1.
int EngineStop();

// True once EngineStart() has run.
bool EngineStarted();

}  // namespace torvane
