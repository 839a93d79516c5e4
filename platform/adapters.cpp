#include "platform/adapters.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

namespace torvane {
namespace {

// An IPv4 entry of getifaddrs carries the address label, which for an
// alias is "<interface>:<suffix>"; the interface is the part before ':'.
std::string InterfaceOfLabel(const char* label) {
  const char* colon = strchr(label, ':');
  return colon ? std::string(label, colon - label) : std::string(label);
}

// Hardware address through SIOCGIFHWADDR, for interfaces that have no
// AF_PACKET entry in the getifaddrs list.
void QueryHardwareAddress(const std::string& name, AdapterInfo* info) {
  if (name.size() >= IFNAMSIZ) return;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  struct ifreq req;
  memset(&req, 0, sizeof(req));
  memcpy(req.ifr_name, name.c_str(), name.size());
  if (ioctl(fd, SIOCGIFHWADDR, &req) == 0) {
    memcpy(info->mac, req.ifr_hwaddr.sa_data, 6);
    info->macLength = 6;
  }
  close(fd);
}

}  // namespace

bool QueryAdapters(std::vector<AdapterInfo>* out) {
  out->clear();
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;

  // Keyed by interface name; the order of first appearance is kept so that
  // the adapters come out in the system's order.
  std::map<std::string, AdapterInfo> byName;
  std::map<std::string, bool> hasPacketEntry;
  std::vector<std::string> order;
  auto entryFor = [&](const std::string& name) -> AdapterInfo& {
    auto it = byName.find(name);
    if (it == byName.end()) {
      order.push_back(name);
      it = byName.emplace(name, AdapterInfo{}).first;
      it->second.name = name;
    }
    return it->second;
  };

  for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_name == nullptr) continue;
    if (ifa->ifa_flags & IFF_LOOPBACK) continue;
    // A disabled interface is not an adapter, as on systems that drop
    // disabled adapters from their list; it returns at the next scan once up.
    if (!(ifa->ifa_flags & IFF_UP)) continue;
    int family = ifa->ifa_addr->sa_family;
    if (family == AF_PACKET) {
      std::string name = ifa->ifa_name;
      AdapterInfo& info = entryFor(name);
      const struct sockaddr_ll* ll = reinterpret_cast<const struct sockaddr_ll*>(ifa->ifa_addr);
      uint32_t len = ll->sll_halen;
      if (len > sizeof(info.mac)) len = sizeof(info.mac);
      memset(info.mac, 0, sizeof(info.mac));
      memcpy(info.mac, ll->sll_addr, len);
      info.macLength = len;
      info.index = static_cast<uint32_t>(ll->sll_ifindex);
      hasPacketEntry[name] = true;
    } else if (family == AF_INET) {
      std::string name = InterfaceOfLabel(ifa->ifa_name);
      AdapterInfo& info = entryFor(name);
      AddressMask am;
      am.address = reinterpret_cast<const struct sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
      am.mask = ifa->ifa_netmask
                    ? reinterpret_cast<const struct sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr
                    : 0;
      if (am.address == 0) continue;
      info.addresses.push_back(am);
    }
  }
  freeifaddrs(list);

  for (const std::string& name : order) {
    AdapterInfo& info = byName[name];
    if (info.addresses.empty()) continue;
    if (!hasPacketEntry[name]) QueryHardwareAddress(name, &info);
    if (info.index == 0) info.index = if_nametoindex(name.c_str());
    if (info.index == 0) continue;  // vanished while we looked
    out->push_back(std::move(info));
  }
  return true;
}

}  // namespace torvane
