// The capture filter's verdict for the frames of a savefile, as libpcap's compiled
// program gives it, reached natively wherever that is exact.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "track/port_filter.h"

// The verdict of the run's fixed capture filter (no filter words): the classic
// expression, or that of --decode-all. For the classic one the native check is all
// there is. For --decode-all the program itself is kept, compiled from the same
// text as the one libpcap runs, and the native check of the classic expression
// answers first where its answer is the program's:
//   - the expression is "(classic)||(...)": a frame the classic part passes, the
//     program passes;
//   - every other part of it begins by testing the link for IPv6 or a VLAN tag
//     (the Ethernet type, the address family), so a frame framed as IPv4 that the
//     classic part does not pass, the program does not pass either.
// Only frames of another framing (IPv6, tagged, cooked, raw) run the program.
class FileFilter {
 public:
  // The filter for the savefile `pcap` has open, for `ports`; nothing when there is
  // no exact way to reach libpcap's verdict (the caller then leaves the file to
  // libpcap).
  static std::optional<FileFilter> make(pcap_t* pcap, const PortSet& ports, bool decode_all);
  static std::optional<FileFilter> make(pcap_t* pcap, uint16_t port, bool decode_all) {
    return make(pcap, PortSet::of({port}), decode_all);
  }

  bool matches(const pcap_pkthdr& header, const uint8_t* data) const {
    if (classic_) {
      if (classic_->matches(data, header.caplen, header.len)) return true;
      if (program_ == nullptr || classic_->ipv4_framed(data, header.caplen)) return false;
    }
    return pcap_offline_filter(program_.get(), &header, data) != 0;
  }

 private:
  struct ProgramFree {
    void operator()(bpf_program* p) const {
      pcap_freecode(p);
      delete p;
    }
  };

  std::optional<PortFilter> classic_;
  std::unique_ptr<bpf_program, ProgramFree> program_;  // --decode-all only
};
