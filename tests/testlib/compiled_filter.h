// libpcap's own capture-filter programs, compiled as a run compiles them, for tests
// that hold the program's native stand-ins and the decoder against them.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace testlib {

// The handle of a savefile with no records, of this link type and written on a host
// of this byte order (`swapped`: the other one), opened from memory as a run opens
// its file: libpcap compiles a filter for the handle's link type and byte order.
class EmptySavefile {
 public:
  EmptySavefile(int dlt, bool swapped);
  ~EmptySavefile();
  EmptySavefile(const EmptySavefile&) = delete;
  EmptySavefile& operator=(const EmptySavefile&) = delete;

  pcap_t* handle() const { return pcap_; }

 private:
  uint8_t header_[24];
  pcap_t* pcap_ = nullptr;
};

// An expression compiled without optimisation and with netmask 0, as the capture
// set-up compiles it. Throws std::runtime_error with libpcap's reason when the
// expression does not compile.
class CompiledFilter {
 public:
  CompiledFilter(pcap_t* pcap, const std::string& expression);
  // On the handle of an EmptySavefile of its own.
  CompiledFilter(int dlt, bool swapped, const std::string& expression);
  ~CompiledFilter();
  CompiledFilter(const CompiledFilter&) = delete;
  CompiledFilter& operator=(const CompiledFilter&) = delete;

  unsigned length() const { return program_.bf_len; }  // instructions
  bool passes(const pcap_pkthdr& header, const uint8_t* frame) const {
    return pcap_offline_filter(&program_, &header, frame) != 0;
  }
  bool passes(const uint8_t* frame, size_t caplen, size_t wire_len) const;

 private:
  void compile(pcap_t* pcap, const std::string& expression);

  std::unique_ptr<EmptySavefile> own_;
  bpf_program program_{};
};

}  // namespace testlib
