// fast_path: the groundwork of a faster quiet file run, against what libpcap does
// for the same work. On one capture it counts the packets that pass the capture
// filter four ways, alternately, and prints the median time of each:
//
//   libpcap   pcap_loop() with the filter compiled as portsift compiles it
//   native    SavefileReader and PortFilter (src/run/savefile_reader.h,
//             src/track/port_filter.h)
//   reader    SavefileReader alone, every record handed over and counted
//   read      read() of the whole file into one buffer, nothing else
//
// The two filtering ways must count the same packets, or it says so and fails.
//
//   fast_path FILE [PORT [ROUNDS]]   (PORT defaults to 80, ROUNDS to 5)
#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "run/savefile_reader.h"
#include "track/port_filter.h"

namespace {

double seconds_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Count {
  uint64_t records = 0, passed = 0;
};

void count_packet(u_char* user, const struct pcap_pkthdr*, const u_char*) {
  ++reinterpret_cast<Count*>(user)->passed;
}

Count run_libpcap(const char* path, uint16_t port) {
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path, errbuf);
  if (p == nullptr) {
    std::fprintf(stderr, "fast_path: %s\n", errbuf);
    std::exit(1);
  }
  const std::string text = filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, port);
  struct bpf_program program;
  if (pcap_compile(p, &program, text.c_str(), 0, 0) != 0 || pcap_setfilter(p, &program) != 0) {
    std::fprintf(stderr, "fast_path: %s\n", pcap_geterr(p));
    std::exit(1);
  }
  pcap_freecode(&program);
  Count c;
  if (pcap_loop(p, -1, count_packet, reinterpret_cast<u_char*>(&c)) == PCAP_ERROR) {
    std::fprintf(stderr, "fast_path: %s\n", pcap_geterr(p));
    std::exit(1);
  }
  pcap_close(p);
  return c;
}

Count run_reader(const char* path, uint16_t port, bool filter) {
  SavefileReader reader;
  SavefileStatus status = reader.open(path);
  if (status != SavefileStatus::OK) {
    std::fprintf(stderr, "fast_path: %s: %s\n", path, savefile_status_name(status));
    std::exit(1);
  }
  const std::optional<PortFilter> native =
      PortFilter::make(FilterExpression::HANDSHAKE_AND_CLOSE, port,
                       FilterSource{reader.format().link_type, reader.format().swapped});
  if (!native) {
    std::fprintf(stderr, "fast_path: no native filter for link type %d\n",
                 reader.format().link_type);
    std::exit(1);
  }
  Count c;
  pcap_pkthdr h;
  const uint8_t* data;
  while ((status = reader.next(&h, &data)) == SavefileStatus::OK) {
    ++c.records;
    if (filter && native->matches(data, h.caplen, h.len)) ++c.passed;
  }
  if (status != SavefileStatus::END) {
    std::fprintf(stderr, "fast_path: %s: %s\n", path, savefile_status_name(status));
    std::exit(1);
  }
  return c;
}

Count run_read(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path);
    std::exit(1);
  }
  constexpr size_t BUFFER = SavefileReader::DEFAULT_BUFFER;
  std::unique_ptr<char[]> buffer(new char[BUFFER]);
  Count c;
  ssize_t n;
  while ((n = read(fd, buffer.get(), BUFFER)) > 0) c.records += static_cast<uint64_t>(n);
  close(fd);
  return c;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fputs("usage: fast_path FILE [PORT [ROUNDS]]\n", stderr);
    return 2;
  }
  const char* path = argv[1];
  const uint16_t port = static_cast<uint16_t>(argc > 2 ? std::atoi(argv[2]) : 80);
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

  const char* names[] = {"libpcap", "native", "reader", "read"};
  std::vector<double> times[4];
  Count counts[4];
  for (int r = 0; r < rounds + 1; ++r) {  // the first round warms up
    for (int k = 0; k < 4; ++k) {
      const int way = r % 2 ? 3 - k : k;  // alternate the order
      const double start = seconds_now();
      switch (way) {
        case 0:
          counts[0] = run_libpcap(path, port);
          break;
        case 1:
          counts[1] = run_reader(path, port, true);
          break;
        case 2:
          counts[2] = run_reader(path, port, false);
          break;
        case 3:
          counts[3] = run_read(path);
          break;
      }
      if (r > 0) times[way].push_back(seconds_now() - start);
    }
  }
  if (counts[0].passed != counts[1].passed) {
    std::fprintf(stderr, "fast_path: libpcap passes %llu packets, the native filter %llu\n",
                 static_cast<unsigned long long>(counts[0].passed),
                 static_cast<unsigned long long>(counts[1].passed));
    return 1;
  }
  const double records = static_cast<double>(counts[2].records);
  std::printf("%s: %llu records, %llu pass the filter, %.0f MB; medians of %d rounds\n", path,
              static_cast<unsigned long long>(counts[2].records),
              static_cast<unsigned long long>(counts[1].passed),
              static_cast<double>(counts[3].records) / 1e6, rounds);
  const double libpcap = median(times[0]);
  for (int way = 0; way < 4; ++way) {
    const double t = median(times[way]);
    std::printf("  %-8s %8.3f s  %7.1f ns/record  %5.2fx libpcap\n", names[way], t,
                t / records * 1e9, t / libpcap);
  }
  return 0;
}
