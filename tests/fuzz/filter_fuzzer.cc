// libFuzzer target: one frame through libpcap's compiled capture filter and through
// the native check (track/port_filter.h), for the classic expression or that of
// --decode-all, on every link type the check knows; any difference in verdict stops
// the run. See filter_input.h for the input layout.
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

#include "fuzz/filter_input.h"
#include "track/port_filter.h"

namespace {

// libpcap's program compiled on a savefile handle of the source, as the program
// compiles its filter (no optimisation), and the native check for the same.
struct Checks {
  ~Checks() { pcap_freecode(&program); }
  bpf_program program;
  PortFilter native;
};

PortSet port_set(uint8_t mode, uint16_t port) {
  std::vector<uint16_t> ports = {port};
  switch (mode) {
    case fuzz::PORT_LIST:
      ports.push_back(443);
      for (uint16_t p = 8000; p <= 8010; ++p) ports.push_back(p);
      return PortSet::of(ports);
    case fuzz::PORT_RANGE:
      for (uint32_t p = port + 1u; p <= port + 9u && p <= 65535; ++p)
        ports.push_back(static_cast<uint16_t>(p));
      return PortSet::of(ports);
    case fuzz::EVERY_PORT:
      return PortSet::every_port();
    default:
      return PortSet::of(ports);
  }
}

std::unique_ptr<Checks> compile(int dlt, bool other_order, FilterExpression expression,
                                uint16_t port, uint8_t mode) {
  uint8_t header[24];
  const auto put = [&](size_t off, uint32_t v, size_t n) {
    if (other_order)
      v = n == 4 ? __builtin_bswap32(v) : __builtin_bswap16(static_cast<uint16_t>(v));
    if (n == 4) {
      std::memcpy(header + off, &v, 4);
    } else {
      const uint16_t v16 = static_cast<uint16_t>(v);
      std::memcpy(header + off, &v16, 2);
    }
  };
  put(0, 0xa1b2c3d4, 4);
  put(4, 2, 2);
  put(6, 4, 2);
  put(8, 0, 4);
  put(12, 0, 4);
  put(16, 65535, 4);
  put(20, static_cast<uint32_t>(dlt), 4);
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* pcap = pcap_fopen_offline(fmemopen(header, sizeof header, "rb"), errbuf);
  if (pcap == nullptr || (pcap_is_swapped(pcap) == 1) != other_order ||
      pcap_datalink(pcap) != dlt)
    __builtin_trap();
  auto checks = std::unique_ptr<Checks>(
      new Checks{bpf_program{}, *PortFilter::make(expression, port_set(mode, port),
                                                  FilterSource{dlt, other_order})});
  const std::string text = filter_text(expression, port_set(mode, port), dlt);
  if (pcap_compile(pcap, &checks->program, text.c_str(), 0, 0) != 0) __builtin_trap();
  pcap_close(pcap);
  return checks;
}

// Compiling costs far more than a run: programs are kept, up to a bound.
std::map<std::tuple<int, bool, FilterExpression, uint16_t, uint8_t>, std::unique_ptr<Checks>>
    g_cache;
constexpr size_t CACHE_LIMIT = 4096;

const Checks& checks_for(int dlt, bool other_order, FilterExpression expression, uint16_t port,
                         uint8_t mode) {
  auto key = std::make_tuple(dlt, other_order, expression, port, mode);
  auto it = g_cache.find(key);
  if (it != g_cache.end()) return *it->second;
  if (g_cache.size() >= CACHE_LIMIT) g_cache.clear();
  return *g_cache.emplace(key, compile(dlt, other_order, expression, port, mode))
              .first->second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fuzz::FILTER_INPUT_HEADER) return 0;
  const int dlt = fuzz::FILTER_LINK_TYPES[data[0] % fuzz::FILTER_LINK_COUNT];
  const bool other_order = (data[1] & fuzz::FILTER_OTHER_ORDER) != 0;
  const FilterExpression expression = (data[1] & fuzz::FILTER_DECODE_ALL)
                                          ? FilterExpression::EVERY_FRAMING
                                          : FilterExpression::HANDSHAKE_AND_CLOSE;
  if (!PortFilter::make(expression, 80, FilterSource{dlt, other_order})) return 0;
  const uint16_t port = static_cast<uint16_t>(data[2] << 8 | data[3]);
  const uint8_t mode = static_cast<uint8_t>(data[1] >> fuzz::FILTER_PORT_SET_SHIFT);
  const Checks& checks = checks_for(dlt, other_order, expression, port, mode);

  // The frame in a block of exactly its length, so that AddressSanitizer stops a
  // read past the captured bytes.
  const size_t caplen = size - fuzz::FILTER_INPUT_HEADER;
  std::unique_ptr<uint8_t[]> frame(new uint8_t[caplen]);
  std::memcpy(frame.get(), data + fuzz::FILTER_INPUT_HEADER, caplen);
  pcap_pkthdr h;
  std::memset(&h, 0, sizeof h);
  h.caplen = static_cast<bpf_u_int32>(caplen);
  h.len = static_cast<bpf_u_int32>(caplen + 64 * ((data[1] >> fuzz::FILTER_WIRE_SHIFT) & 0x0f));

  const bool libpcap = pcap_offline_filter(&checks.program, &h, frame.get()) != 0;
  const bool native = checks.native.matches(frame.get(), h.caplen, h.len);
  if (libpcap != native) {
    std::fprintf(stderr, "libpcap %s, native check %s\n", libpcap ? "passes" : "drops",
                 native ? "passes" : "drops");
    __builtin_trap();
  }
  return 0;
}
