#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "core/os/netif.h"

namespace kx {

bool host_name_ipv4(std::string& out) {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return false;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return false;
  char buf[INET_ADDRSTRLEN] = {};
  auto* sin = reinterpret_cast<sockaddr_in*>(res->ai_addr);
  bool ok = ::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf) != nullptr;
  ::freeaddrinfo(res);
  if (ok) out = buf;
  return ok;
}

bool first_interface_ipv4(std::string& out) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char buf[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) {
      out = buf;
      found = true;
    }
  }
  ::freeifaddrs(list);
  return found;
}

}  // namespace kx
