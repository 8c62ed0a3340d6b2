#include "testlib/compiled_filter.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace testlib {

EmptySavefile::EmptySavefile(int dlt, bool swapped) {
  const auto put = [&](size_t off, uint32_t v, size_t n) {
    if (swapped) v = n == 4 ? __builtin_bswap32(v) : __builtin_bswap16(static_cast<uint16_t>(v));
    std::memcpy(header_ + off, &v, n);
  };
  put(0, 0xa1b2c3d4, 4);  // microseconds
  put(4, 2, 2);           // version 2.4
  put(6, 4, 2);
  put(8, 0, 4);
  put(12, 0, 4);
  put(16, 65535, 4);  // snapshot length
  put(20, static_cast<uint32_t>(dlt), 4);
  char errbuf[PCAP_ERRBUF_SIZE];
  FILE* file = fmemopen(header_, sizeof header_, "rb");
  pcap_ = file == nullptr ? nullptr : pcap_fopen_offline(file, errbuf);
  if (pcap_ == nullptr) {
    if (file != nullptr) std::fclose(file);
    throw std::runtime_error("cannot open an empty savefile of link type " + std::to_string(dlt));
  }
}

EmptySavefile::~EmptySavefile() { pcap_close(pcap_); }

CompiledFilter::CompiledFilter(pcap_t* pcap, const std::string& expression) {
  compile(pcap, expression);
}

CompiledFilter::CompiledFilter(int dlt, bool swapped, const std::string& expression)
    : own_(new EmptySavefile(dlt, swapped)) {
  compile(own_->handle(), expression);
}

CompiledFilter::~CompiledFilter() { pcap_freecode(&program_); }

void CompiledFilter::compile(pcap_t* pcap, const std::string& expression) {
  if (pcap_compile(pcap, &program_, expression.c_str(), 0, 0) != 0)
    throw std::runtime_error(pcap_geterr(pcap));
}

bool CompiledFilter::passes(const uint8_t* frame, size_t caplen, size_t wire_len) const {
  pcap_pkthdr h;
  std::memset(&h, 0, sizeof h);
  h.caplen = static_cast<uint32_t>(caplen);
  h.len = static_cast<uint32_t>(wire_len);
  return passes(h, frame);
}

}  // namespace testlib
