// What the desktop host offers a program that we need on a console: a debugger
// output channel and the signals that ask the process to end.
#pragma once
#include <string_view>

namespace kx {

// Sends text to the debugger output: standard error when it is a terminal, or when the
// environment variable KESTRIX_DEBUG_OUTPUT is "1" (so tests can read it).
void debug_output(std::string_view text);
bool debug_output_enabled();

// First thing in main: ignores SIGPIPE and blocks SIGINT/SIGTERM in every thread
// created afterwards, so only wait_stop_signal() receives them.
void prepare_process_signals();

// Waits up to timeout_ms for SIGINT or SIGTERM; returns the signal number, or 0.
int wait_stop_signal(int timeout_ms);

// Leaves the process at once with the given code, without running destructors.
[[noreturn]] void force_exit(int code);

}  // namespace kx
