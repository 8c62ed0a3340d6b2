// libFuzzer target: arbitrary bytes as a savefile, read by libpcap and by the
// savefile reader (run/savefile_reader.h). Whenever the reader reaches the end, its
// records must be libpcap's, exactly; whenever it refuses, the records before the
// refusal must be libpcap's. Anything else stops the run.
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "run/savefile_reader.h"

namespace {

struct Record {
  pcap_pkthdr header;
  std::vector<uint8_t> data;
  bool same(const pcap_pkthdr& h, const uint8_t* bytes) const {
    return header.ts.tv_sec == h.ts.tv_sec && header.ts.tv_usec == h.ts.tv_usec &&
           header.caplen == h.caplen && header.len == h.len &&
           (h.caplen == 0 || std::memcmp(data.data(), bytes, h.caplen) == 0);
  }
};

[[noreturn]] void disagree(const char* what) {
  std::fprintf(stderr, "savefile reader and libpcap disagree: %s\n", what);
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;  // fmemopen() takes no empty buffer
  std::vector<uint8_t> copy(input, input + size);
  char errbuf[PCAP_ERRBUF_SIZE];
  FILE* file = fmemopen(copy.data(), copy.size(), "rb");
  pcap_t* pcap = pcap_fopen_offline(file, errbuf);
  if (pcap == nullptr) std::fclose(file);  // on success the handle owns it
  std::vector<Record> records;
  bool clean_end = false;
  if (pcap != nullptr) {
    pcap_pkthdr* h;
    const u_char* data;
    int rc;
    while ((rc = pcap_next_ex(pcap, &h, &data)) == 1)
      records.push_back(Record{*h, std::vector<uint8_t>(data, data + h->caplen)});
    clean_end = rc == PCAP_ERROR_BREAK;
  }

  // The smallest buffer the file allows: records cross refills as often as can be.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
  std::memcpy(exact.get(), input, size);
  SavefileReader reader(1);
  SavefileStatus status = reader.open_bytes(exact.get(), size);
  if (status == SavefileStatus::OK) {
    if (pcap == nullptr) disagree("only the reader opens the file");
    const SavefileFormat& f = reader.format();
    if (f.link_type != pcap_datalink(pcap) || f.swapped != (pcap_is_swapped(pcap) == 1) ||
        static_cast<int>(f.snaplen) != pcap_snapshot(pcap))
      disagree("file header");
    pcap_pkthdr h;
    const uint8_t* data;
    size_t n = 0;
    while ((status = reader.next(&h, &data)) == SavefileStatus::OK) {
      if (n >= records.size() || !records[n].same(h, data)) disagree("record");
      ++n;
    }
    if (status == SavefileStatus::END && (!clean_end || n != records.size()))
      disagree("the reader ends cleanly where libpcap does not");
    if (status == SavefileStatus::TRUNCATED_RECORD && (clean_end || n != records.size()))
      disagree("a cut record libpcap reads");
    if (status == SavefileStatus::END && reader.offset() != size) disagree("offset at the end");
  }
  if (pcap != nullptr) pcap_close(pcap);
  return 0;
}
