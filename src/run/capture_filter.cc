#include "run/capture_filter.h"

#include "common/trace.h"
#include "track/port_filter.h"

namespace {

// "&&(words )": each word followed by a blank.
std::string and_words(const std::vector<std::string>& filter_words) {
  if (filter_words.empty()) return "";
  std::string text = "&&(";
  for (const std::string& word : filter_words) {
    text += word;
    text += ' ';
  }
  return text + ')';
}

}  // namespace

std::string filter_expression(const PortSet& ports, const std::vector<std::string>& filter_words) {
  // The fixed part is the one the native check stands in for, written in one place.
  return filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, ports, 0, and_words(filter_words));
}

std::string decode_all_filter_expression(const PortSet& ports,
                                         const std::vector<std::string>& filter_words, int dlt) {
  return filter_text(FilterExpression::EVERY_FRAMING, ports, dlt, and_words(filter_words));
}

PortSet watched_ports(const Settings& s) {
  return s.any_port ? PortSet::every_port() : PortSet::of(s.ports);
}

std::string capture_filter_text(const Settings& s, int dlt) {
  const PortSet ports = watched_ports(s);
  return s.wide_filter() ? decode_all_filter_expression(ports, s.filter_words, dlt)
                      : filter_expression(ports, s.filter_words);
}

namespace {

// The most instructions the kernel takes in a socket filter (linux/bpf_common.h's
// BPF_MAXINSNS).
constexpr u_int KERNEL_MAX_INSTRUCTIONS = 4096;

// pcap_compile() as the program has always called it: without optimisation, with the
// network mask. -1 after printing the failure.
int compile(pcap_t* pcap, const std::string& expression, bpf_u_int32 mask, bpf_program* program,
            FILE* err) {
  const int rc = pcap_compile(pcap, program, expression.c_str(), 0, mask);
  if (rc == 0) return 0;
  // The return code alone does not tell the user what is wrong with the
  // expression: libpcap's own reason follows on the next line.
  static constexpr char COMPILE_FMT[] = "pcap_compile:%d\n\n";
  static constexpr char COMPILE_REASON_FMT[] = "%s\n";
  TRACE(err, COMPILE_FMT, rc);
  TRACE(err, COMPILE_REASON_FMT, pcap_geterr(pcap));
  return -1;
}

}  // namespace

int compile_filter(pcap_t* pcap, const char* interface, const std::string& expression, FILE* out,
                   FILE* err, int debug, struct bpf_program* program, bpf_u_int32* mask_used) {
  char errbuf[PCAP_ERRBUF_SIZE];
  errbuf[0] = '\0';
  bpf_u_int32 net = 0, mask = 0;
  // Without an interface (a file run without -i) libpcap answers with a zero mask.
  int rc = pcap_lookupnet(interface, &net, &mask, errbuf);
  if (rc != 0) {
    static constexpr char LOOKUPNET_FMT[] = "pcap_lookupnet:%d:%s\n\n";
    TRACE(err, LOOKUPNET_FMT, rc, errbuf);
    return -1;
  }
  static constexpr char SETTING_FILTER_FMT[] = "Setting filter to %s\n";
  if (debug >= 1) TRACE(out, SETTING_FILTER_FMT, expression.c_str());
  if (mask_used != nullptr) *mask_used = mask;
  return compile(pcap, expression, mask, program, err);
}

int install_filter(pcap_t* pcap, const char* interface, const std::string& expression, FILE* out,
                   FILE* err, int debug, const std::string* kernel_expression,
                   FilterProgram* user_filter) {
  bpf_u_int32 mask = 0;
  FilterProgram full;
  if (compile_filter(pcap, interface, expression, out, err, debug, &full.program, &mask) != 0)
    return -1;
  full.compiled = true;
  FilterProgram broad;
  const bpf_program* installed = &full.program;
  if (kernel_expression != nullptr && user_filter != nullptr &&
      full.program.bf_len > KERNEL_MAX_INSTRUCTIONS) {
    if (compile(pcap, *kernel_expression, mask, &broad.program, err) != 0) return -1;
    broad.compiled = true;
    installed = &broad.program;
  }
  const int rc = pcap_setfilter(pcap, const_cast<bpf_program*>(installed));
  if (rc != 0) {
    static constexpr char SETFILTER_FMT[] = "pcap_setfilter:%d\n\n";
    static constexpr char SETFILTER_REASON_FMT[] = "%s\n";
    TRACE(err, SETFILTER_FMT, rc);
    TRACE(err, SETFILTER_REASON_FMT, pcap_geterr(pcap));
    return -1;
  }
  if (installed != &full.program) {
    // The packet loop runs the whole program on what the broader one passes.
    user_filter->program = full.program;
    user_filter->compiled = true;
    full.compiled = false;
  }
  return 0;
}
