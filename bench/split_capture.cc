// split_capture: a classic savefile cut into N files of about equal numbers of
// records, each with the original file header, as tcpdump -C or -G leaves a
// capture: the benchmark's rotated set.
//
//   split_capture FILE N DIR      writes DIR/part-000.pcap ... in time order
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t FILE_HEADER = 24;
constexpr size_t RECORD_HEADER = 16;

bool read_all(FILE* in, void* into, size_t n) { return std::fread(into, 1, n, in) == n; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: split_capture FILE N DIR\n", stderr);
    return 2;
  }
  const long parts = std::strtol(argv[2], nullptr, 10);
  FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr || parts < 1) {
    std::fprintf(stderr, "split_capture: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  uint8_t header[FILE_HEADER];
  if (!read_all(in, header, sizeof header)) return 1;
  uint32_t magic;
  std::memcpy(&magic, header, 4);
  const bool swapped = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
  // First pass: the number of records, for parts of equal size.
  uint64_t records = 0;
  uint8_t rec[RECORD_HEADER];
  std::vector<uint8_t> data(262144 + RECORD_HEADER);
  auto caplen_of = [&](const uint8_t* r) {
    uint32_t n;
    std::memcpy(&n, r + 8, 4);
    return swapped ? __builtin_bswap32(n) : n;
  };
  while (read_all(in, rec, sizeof rec)) {
    const uint32_t caplen = caplen_of(rec);
    if (caplen > data.size() || std::fseek(in, caplen, SEEK_CUR) != 0) return 1;
    records++;
  }
  std::fseek(in, FILE_HEADER, SEEK_SET);
  const uint64_t per_part = (records + static_cast<uint64_t>(parts) - 1) / static_cast<uint64_t>(parts);
  FILE* out = nullptr;
  for (uint64_t i = 0; read_all(in, rec, sizeof rec); ++i) {
    if (i % per_part == 0) {
      if (out != nullptr) std::fclose(out);
      char name[64];
      std::snprintf(name, sizeof name, "/part-%03llu.pcap",
                    static_cast<unsigned long long>(i / per_part));
      out = std::fopen((std::string(argv[3]) + name).c_str(), "wb");
      if (out == nullptr) return 1;
      std::fwrite(header, 1, sizeof header, out);
    }
    const uint32_t caplen = caplen_of(rec);
    if (!read_all(in, data.data(), caplen)) return 1;
    std::fwrite(rec, 1, sizeof rec, out);
    std::fwrite(data.data(), 1, caplen, out);
  }
  if (out != nullptr && std::fclose(out) != 0) return 1;
  std::fclose(in);
  return 0;
}
