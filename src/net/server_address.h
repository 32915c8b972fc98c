// The address the server announces for itself (the panel URL, exported lists).
#pragma once
#include <string>

namespace kx {

// The host name's IPv4 address; when that fails or is a loopback address, the first
// non-loopback interface address; 127.0.0.1 last.
std::string server_ipv4();

}  // namespace kx
