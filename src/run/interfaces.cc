#include "run/interfaces.h"

#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "common/trace.h"

namespace {

void no_devices(FILE* err) {
  static constexpr char NO_DEVICES_FMT[] = "No devices found\n\n";
  static constexpr char TRY_SUDO_FMT[] = "Try the command with a 'sudo' prefix\n\n";
  TRACE(err, NO_DEVICES_FMT);
  TRACE(err, TRY_SUDO_FMT);
}

}  // namespace

bool discover_interfaces(Run& run, std::string* device) {
  const Settings& s = run.settings;
  FILE* out = run.output.out;
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  pcap_if_t* devs = nullptr;
  int rc = pcap_findalldevs(&devs, errbuf);
  if (rc != 0) {
    static constexpr char FINDALLDEVS_FMT[] = "pcap_findalldevs:%d:%s\n";
    std::printf(FINDALLDEVS_FMT, rc, errbuf);
    std::fflush(stdout);
    no_devices(run.output.err);
    return false;
  }
  for (pcap_if_t* dev = devs; dev != nullptr; dev = dev->next) {
    static constexpr char EXAMINING_FMT[] = "Examining interface: %s\n\n";
    if (s.debug >= 2) TRACE(out, EXAMINING_FMT, dev->name);
    for (pcap_addr_t* a = dev->addresses; a != nullptr; a = a->next) {
      if (a->addr == nullptr) break;
      if (a->addr->sa_family == AF_INET6 && s.decode_all) {
        Ip6Addr addr;
        std::memcpy(addr.bytes, &reinterpret_cast<const sockaddr_in6*>(a->addr)->sin6_addr, 16);
        static constexpr char FOUND_ADDR6_FMT[] = "Found Inet6 address %s\n\n";
        if (s.debug >= 2) TRACE(out, FOUND_ADDR6_FMT, ipv6_text(addr).text);
        run.host.v6.insert(addr);
        continue;
      }
      if (a->addr->sa_family != AF_INET) continue;
      const IpAddr addr{reinterpret_cast<const sockaddr_in*>(a->addr)->sin_addr.s_addr};
      static constexpr char FOUND_ADDR_FMT[] = "Found Inet address 0x%x\n\n";
      if (s.debug >= 2) TRACE(out, FOUND_ADDR_FMT, addr.raw);
      run.host.v4.insert(addr);
    }
  }
  pcap_freealldevs(devs);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // Deprecated in favour of pcap_findalldevs(), but it still picks the interface a
  // user expects (the first one that is up and not loopback).
  const char* dev = pcap_lookupdev(errbuf);
#pragma GCC diagnostic pop
  if (dev == nullptr) {
    static constexpr char LOOKUPDEV_FMT[] = "pcap_lookupdev:%s\n";
    TRACE(run.output.err, LOOKUPDEV_FMT, errbuf);
    no_devices(run.output.err);
    return false;
  }
  *device = dev;
  return true;
}
