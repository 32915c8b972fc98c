// The console front end: what the desktop window offers, on a terminal.
#pragma once
#include <string>

namespace kx {

// "Kestrix Message [%05d]: " and the text, to the debugger output (never a log file).
void shell_message(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Asks the process to run its final shutdown (the REST shutdown command calls this).
void request_shutdown();

// Waits up to timeout_ms for request_shutdown(); true when it was asked.
bool shutdown_requested(int timeout_ms);

// The process entry: start-up, the status lines, the wait, the final shutdown.
// Returns the process exit code.
int shell_run();

}  // namespace kx
