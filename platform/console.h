// The operator console: standard input, read line by line on a thread of
// its own, shared by the command loop of the push channel and by prompts
// that an operation puts to the operator (the save dialog without a
// graphical session). A line goes to a pending prompt first.
#pragma once

#include <string>

namespace torvane {

// Waits for the next console line for the command loop. Returns false at
// end of input (and keeps returning false).
bool ConsoleReadLine(std::string* line);

enum class PromptResult { kAnswered, kEnded, kExpired };

// Prints text (no line end added) and waits for the operator's next line,
// which is taken before the command loop sees it. kEnded, at once, when
// standard input has ended; kExpired when no line came within timeoutMs
// (a negative timeoutMs waits without limit).
PromptResult ConsolePrompt(const std::string& text, std::string* answer, int timeoutMs = -1);

}  // namespace torvane
