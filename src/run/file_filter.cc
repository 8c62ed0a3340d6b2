#include "run/file_filter.h"

#include <string>

#include "run/capture_filter.h"

std::optional<FileFilter> FileFilter::make(pcap_t* pcap, const PortSet& ports, bool decode_all) {
  const int dlt = pcap_datalink(pcap);
  FileFilter filter;
  filter.native_ = PortFilter::make(
      decode_all ? FilterExpression::EVERY_FRAMING : FilterExpression::HANDSHAKE_AND_CLOSE, ports,
      FilterSource{dlt, pcap_is_swapped(pcap) == 1});
  if (filter.native_) return filter;
  if (!decode_all) return std::nullopt;
  // The text and flags the capture set-up compiles (setup_filter), so the program
  // is the one libpcap runs on this handle. The expression has no broadcast test:
  // the netmask plays no part.
  const std::string text = decode_all_filter_expression(ports, {}, dlt);
  std::unique_ptr<bpf_program, ProgramFree> program(new bpf_program{});
  if (pcap_compile(pcap, program.get(), text.c_str(), 0, 0) != 0) return std::nullopt;
  filter.program_ = std::move(program);
  return filter;
}
