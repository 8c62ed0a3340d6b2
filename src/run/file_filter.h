// The capture filter's verdict for the frames of a savefile, as libpcap's compiled
// program gives it, reached natively wherever that is exact.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "track/port_filter.h"

// The verdict of the run's fixed capture filter (no filter words): the classic
// expression, or that of --decode-all. The native check answers wherever it knows
// the link type (for the classic expression Ethernet and DLT_NULL, for that of
// --decode-all every link type the decoder reads); elsewhere, with --decode-all,
// libpcap's program runs, compiled from the same text as the one libpcap runs.
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
    if (native_) return native_->matches(data, header.caplen, header.len);
    return pcap_offline_filter(program_.get(), &header, data) != 0;
  }
  // Whether the native check answers (and libpcap's program never runs).
  bool native() const { return native_.has_value(); }

 private:
  struct ProgramFree {
    void operator()(bpf_program* p) const {
      pcap_freecode(p);
      delete p;
    }
  };

  std::optional<PortFilter> native_;
  std::unique_ptr<bpf_program, ProgramFree> program_;  // without native_ only
};
