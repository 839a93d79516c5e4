// Engine settings: the process-wide instance and the settings file at its
// fixed place. The format itself lives in settings_codec.cpp.

#include "engine/settings.h"

#include "engine/settings_codec.h"

namespace torvane {

const char kSettingsPath[] = "cfg/define.ecf";

EngineSettings& Settings() {
  static EngineSettings settings;
  return settings;
}

// Runs on the SOAP thread during the engine start. Engine threads may read
// the values meanwhile; each one is an atomic, so they see either the old
// or the new value of each.
int SettingsRead() { return SettingsReadFrom(kSettingsPath, &Settings()); }

// Runs on the SOAP thread only (SetRefreshTime), so it never races
// SettingsRead() over the file.
int SettingsWrite() { return SettingsWriteTo(kSettingsPath, Settings()); }

}  // namespace torvane
