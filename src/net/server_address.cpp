#include "net/server_address.h"

#include "core/os/netif.h"

namespace kx {

std::string server_ipv4() {
  std::string ip;
  if (host_name_ipv4(ip) && ip.rfind("127.", 0) != 0) return ip;
  if (first_interface_ipv4(ip)) return ip;
  return "127.0.0.1";
}

}  // namespace kx
