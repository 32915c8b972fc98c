#include "core/os/console.h"
#include "server/shell.h"

int main() {
  kx::prepare_process_signals();  // before any thread exists: SIGPIPE off, stop signals to us
  return kx::shell_run();
}
