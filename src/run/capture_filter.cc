#include "run/capture_filter.h"

#include <pcap/dlt.h>

#include "common/trace.h"
#include "track/decode.h"
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

// Where a byte of an IPv6 packet lies, as filter text for libpcap's "ip6[...]":
// 8 times the sum of `words` (counts of 8-byte words read from the packet), plus
// `read_bytes` (a count of bytes read from the packet), plus `bytes`. Constants are
// summed here, not in the program: compiled without optimisation every constant
// and every operator costs instructions, and every place is computed anew at each
// load that uses it.
struct Ip6Place {
  std::string words;
  int word_count = 0;
  std::string read_bytes;
  int bytes = 0;

  // The byte `plus` bytes on, as a load of `size` bytes.
  std::string load(int plus, int size = 1) const {
    std::string index;
    if (word_count == 1) index += words + "*8+";
    if (word_count > 1) index += "(" + words + ")*8+";
    if (!read_bytes.empty()) index += read_bytes + "+";
    index += std::to_string(bytes + plus);
    return "ip6[" + index + (size == 1 ? "" : ":" + std::to_string(size)) + "]";
  }
  // `more_words` 8-byte words and `more_bytes` bytes on.
  Ip6Place after(const std::string& more_words, int more_bytes) const {
    Ip6Place p = *this;
    p.words += (p.words.empty() ? "" : "+") + more_words;
    ++p.word_count;
    p.bytes += more_bytes;
    return p;
  }
};

// A SYN, FIN or RST segment of a watched port, its TCP header at `tcp`: a port as
// the source (bytes 0-1) or the destination (2-3), the flags (byte 13) having SYN,
// FIN or RST (0x07) set. libpcap's "tcp[...]" reads IPv4 only, hence the explicit
// offsets. Several ports test each run of consecutive ports on both sides; every
// port tests none.
std::string ipv6_port_segment(const Ip6Place& tcp, const PortSet& ports) {
  const std::string flags = "(" + tcp.load(13) + " & 7) != 0";
  if (ports.every()) return flags;
  std::string sides;
  for (int side : {0, 2}) {
    const std::string port = tcp.load(side, 2);
    for (const auto& [lo, hi] : ports.ranges()) {
      if (!sides.empty()) sides += " || ";
      if (lo == hi)
        sides += port + " == " + std::to_string(lo);
      else
        sides += "(" + port + " >= " + std::to_string(lo) + " && " + port +
                 " <= " + std::to_string(hi) + ")";
    }
  }
  return "(" + sides + ") && " + flags;
}

// IPv6 TCP from header number `passed` of the extension header chain on: `header`
// is where that header starts (past the fixed header and `passed` option headers),
// `next` the next header value that names it, and `tcp` where the TCP header is when
// `next` is TCP (6) or a fragment header (44): 8 bytes further on in the second
// case. The header is then TCP itself, or a fragment header whose next header is 6
// and whose offset (bits 3 to 15 of bytes 2-3) is 0, the start of its datagram; or,
// while fewer than IPV6_MAX_OPTION_HEADERS lie behind, a Hop-by-Hop (0), Routing
// (43) or Destination Options (60) header: its next header in its first byte, its
// length in 8-byte words after the first 8 in its second, and the chain goes on
// behind it. The decoder reads the same chains (past_extension_headers).
std::string ipv6_chain(const Ip6Place& header, const std::string& next, const Ip6Place& tcp,
                       int passed, const PortSet& ports) {
  const std::string here = "((" + next + " == 6 || (" + next + " == 44 && (" + header.load(0, 4) +
                           " & 0xff00fff8) == 0x06000000)) && " + ipv6_port_segment(tcp, ports) +
                           ")";
  if (passed == IPV6_MAX_OPTION_HEADERS) return here;
  const std::string is_option = "(" + next + " == 0 || " + next + " == 43 || " + next + " == 60)";
  // Behind this header: the next header at its byte 0, its length at byte 1, and
  // the TCP header 8 bytes further on if the next header is a fragment header. The
  // two bytes read as one are next * 256 + length; bit 3 of the next header, bit 11
  // of the pair, is set in 44 and clear in 6. With only that bit and the length
  // kept, the pair modulo 2047 (2048 being 1 there) is the length, plus 1 behind a
  // fragment header: the TCP header's place from one load instead of two. (libpcap's
  // "%" binds less tightly than "+": the term stands in its own parentheses.)
  const Ip6Place behind = header.after(header.load(1), 8);
  const Ip6Place tcp_behind = header.after("((" + header.load(0, 2) + " & 0x8ff) % 2047)", 8);
  return "(" + here + "||(" + is_option + " && " +
         ipv6_chain(behind, header.load(0), tcp_behind, passed + 1, ports) + "))";
}

// IPv6 to or from the port, SYN, FIN or RST, behind the extension headers the
// decoder reads. After the fixed header the TCP header is 8 bytes further on when
// the next header (byte 6) is a fragment header (44, bit 3 set) than when it is TCP
// (6, bit 3 clear).
std::string ipv6_filter(const PortSet& ports) {
  Ip6Place fixed_end;
  fixed_end.bytes = 40;
  Ip6Place tcp = fixed_end;
  tcp.read_bytes = "(ip6[6] & 8)";
  return "(" + ipv6_chain(fixed_end, "ip6[6]", tcp, 0, ports) + ")";
}

}  // namespace

std::string filter_expression(const PortSet& ports, const std::vector<std::string>& filter_words) {
  // The fixed part is the one the native check stands in for, written in one place.
  return filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, ports) + and_words(filter_words);
}

std::string decode_all_filter_expression(const PortSet& ports,
                                         const std::vector<std::string>& filter_words, int dlt) {
  const std::string packet = "((" + filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, ports) +
                             ")||" + ipv6_filter(ports) + ")" + and_words(filter_words);
  if (dlt != DLT_EN10MB) return packet;
  // libpcap's "vlan" moves every later offset of the expression 4 bytes on, so the
  // untagged test comes first and the doubly tagged one inside the singly tagged.
  return "(" + packet + ")||(vlan&&((" + packet + ")||(vlan&&(" + packet + "))))";
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
