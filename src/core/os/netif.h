// The machine's own IPv4 addresses.
#pragma once
#include <string>

namespace kx {

// First IPv4 address of the host's own name, dotted; false when the lookup fails.
bool host_name_ipv4(std::string& out);
// First IPv4 address of an interface that is up and not loopback; false when none.
bool first_interface_ipv4(std::string& out);

}  // namespace kx
