// The save-file dialog of SaveFileAs.
//
// With a graphical session (DISPLAY or WAYLAND_DISPLAY) and zenity
// installed, a real dialog filtered to "config File (*.cfg)" that confirms
// before replacing a file. Otherwise the operator answers on the console:
// a prompt, the next console line as the file name (an empty line
// cancels), and a question before an existing file is replaced. With no
// graphical session and the console at end of input it is cancelled at
// once. The operator has Limits().promptTimeoutMs (5 minutes) to answer;
// then the save is cancelled. The caller must not hold anything that other
// requests need while it waits.
#pragma once

#include <string>

namespace torvane {

// Returns true with the chosen path, or false when the user cancelled.
bool ChooseSaveFile(std::string* path);

}  // namespace torvane
