#include "core/process_state.h"

namespace kx {

std::atomic<int> g_started{0};
std::atomic<int> g_shutdown{0};
Stop g_server_stop;
std::atomic<int64_t> g_server_start_time{0};
Gate g_tables_gate;
std::string g_work_dir = ".";

}  // namespace kx
