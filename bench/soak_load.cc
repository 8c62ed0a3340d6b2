// soak_load: the hostile part of the soak (bench/soak.sh), beside the traffic
// driver's steady churn:
//  - a spoofed SYN flood: SYNs to 127.0.0.1:PORT from random addresses of 10/8 and
//    random ports, through a raw socket; nothing can answer them (this namespace
//    has no route back), so each stays an attempt until portsift lets it go;
//  - clients that vanish: real connections to a listener of this program, which
//    both ends then drop in TCP repair mode, where closing a socket sends nothing:
//    no FIN, no RST, as when a host loses power.
// Usage: soak_load --port P --seconds S [--flood N] [--vanish V]
//   N spoofed SYNs a second, V vanishing connections a second. Needs root
//   (CAP_NET_RAW for the raw socket, CAP_NET_ADMIN for repair mode).
// Prints "SOAK flood=<sent> vanished=<connections>" at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

uint16_t checksum(const void* data, size_t length, uint32_t sum = 0) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (length & 1) sum += static_cast<uint32_t>(p[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Sends `rate` spoofed SYNs a second until `until`; returns how many went.
uint64_t flood(uint16_t port, unsigned rate, Clock::time_point until) {
  const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  if (fd < 0) {
    std::perror("soak_load: raw socket");
    std::exit(1);
  }
  std::mt19937 random(12345);
  uint8_t packet[40];
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint64_t sent = 0;
  const Clock::time_point start = Clock::now();
  while (Clock::now() < until) {
    // Keep to the rate: as many as are due by now.
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (sent >= static_cast<uint64_t>(elapsed * rate)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    std::memset(packet, 0, sizeof packet);
    auto* ip = reinterpret_cast<iphdr*>(packet);
    auto* tcp = reinterpret_cast<tcphdr*>(packet + 20);
    ip->version = 4, ip->ihl = 5, ip->ttl = 64, ip->protocol = IPPROTO_TCP;
    ip->tot_len = htons(sizeof packet);
    ip->saddr = htonl(0x0a000000u | (random() & 0xffffff));
    ip->daddr = htonl(INADDR_LOOPBACK);
    ip->check = htons(checksum(ip, 20));
    tcp->source = htons(static_cast<uint16_t>(1024 + random() % 60000));
    tcp->dest = htons(port);
    tcp->seq = htonl(random());
    tcp->doff = 5, tcp->syn = 1, tcp->window = htons(65535);
    uint8_t pseudo[12];
    std::memcpy(pseudo, &ip->saddr, 4);
    std::memcpy(pseudo + 4, &ip->daddr, 4);
    pseudo[8] = 0, pseudo[9] = IPPROTO_TCP, pseudo[10] = 0, pseudo[11] = 20;
    uint32_t partial = 0;
    for (int i = 0; i < 12; i += 2) partial += static_cast<uint32_t>(pseudo[i] << 8 | pseudo[i + 1]);
    tcp->check = htons(checksum(tcp, 20, partial));
    if (sendto(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(sizeof packet))
      sent++;
  }
  close(fd);
  return sent;
}

// Closes a connected socket without a word on the wire.
void vanish(int fd) {
  const int on = 1;
  setsockopt(fd, SOL_TCP, TCP_REPAIR, &on, sizeof on);
  close(fd);
}

// `rate` connections a second to a listener on `port`, each dropped silently at
// both ends once a request has crossed.
uint64_t vanishing(uint16_t port, unsigned rate, Clock::time_point until) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 128) != 0) {
    std::perror("soak_load: listener");
    std::exit(1);
  }
  uint64_t made = 0;
  const Clock::time_point start = Clock::now();
  while (Clock::now() < until) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (made >= static_cast<uint64_t>(elapsed * rate)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
      close(client);
      continue;
    }
    const int server = accept(listener, nullptr, nullptr);
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    if (write(client, request, sizeof request - 1) < 0) std::perror("soak_load: write");
    char buf[64];
    if (server >= 0 && read(server, buf, sizeof buf) < 0) std::perror("soak_load: read");
    vanish(client);
    if (server >= 0) vanish(server);
    made++;
  }
  close(listener);
  return made;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned port = 0, seconds = 0, flood_rate = 0, vanish_rate = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const unsigned value = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    if (option == "--port") port = value;
    else if (option == "--seconds") seconds = value;
    else if (option == "--flood") flood_rate = value;
    else if (option == "--vanish") vanish_rate = value;
    else {
      std::fprintf(stderr, "usage: soak_load --port P --seconds S [--flood N] [--vanish V]\n");
      return 2;
    }
  }
  if (port == 0 || seconds == 0) {
    std::fprintf(stderr, "usage: soak_load --port P --seconds S [--flood N] [--vanish V]\n");
    return 2;
  }
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  uint64_t flooded = 0, vanished = 0;
  std::thread flooder([&] {
    if (flood_rate) flooded = flood(static_cast<uint16_t>(port), flood_rate, until);
  });
  if (vanish_rate) vanished = vanishing(static_cast<uint16_t>(port), vanish_rate, until);
  flooder.join();
  std::printf("SOAK flood=%llu vanished=%llu\n", static_cast<unsigned long long>(flooded),
              static_cast<unsigned long long>(vanished));
  return 0;
}
