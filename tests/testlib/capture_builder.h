// Builds frames and capture files in code: Ethernet (with VLAN tags if asked), BSD
// loopback, Linux cooked or raw IP framing, IPv4 or IPv6, TCP with exact fields,
// and the odd frames a decoder must drop.
#pragma once

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testlib {

// DLT_EN10MB, DLT_NULL, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW.
enum class Link { ETHERNET, LOOPBACK, COOKED, COOKED2, RAW };
int dlt_of(Link link);

constexpr uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;

// An IPv6 extension header: the next header value that names it, and its bytes. The
// builder writes byte 0 (the next header) as the chain goes on.
struct Ip6Header {
  uint8_t type = 0;
  std::vector<uint8_t> bytes;
};
// Hop-by-Hop (0), Routing (43) or Destination Options (60) with this length field:
// (length + 1) * 8 bytes, padded with PadN.
Ip6Header option_header(uint8_t type, uint8_t length = 0);
// A fragment header (44) with this 13-bit offset in 8-byte units, more fragments to
// come or not, and these reserved bytes (byte 1, and bits 1-2 of byte 3).
Ip6Header fragment_header(uint16_t offset = 0, bool more = true, uint8_t reserved = 0);

// One TCP segment, over IPv6 when its addresses are IPv6 ones. Overrides let a test
// forge malformed header fields.
struct Seg {
  std::string src = "10.0.0.1";
  std::string dst = "10.0.0.2";
  uint16_t sport = 5555;
  uint16_t dport = 80;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint8_t flags = 0;
  size_t payload = 0;                // payload bytes (zero-filled)
  size_t tcp_opts = 0;               // option bytes, a multiple of 4 (NOPs)
  size_t ip_opts = 0;                // IPv4 option bytes, a multiple of 4 (NOPs)
  uint8_t proto = 6;                 // the IPv6 next header alike
  std::optional<int> ip_hl_bytes;    // IPv4 header length field x 4 (default 20)
  std::optional<int> tcp_off_bytes;  // TCP data offset field x 4 (default 20 + opts)
  // IPv4 total length, or 40 + the IPv6 payload length (default: true length).
  std::optional<int> ip_total_len;
  std::vector<uint16_t> vlan_tags;  // Ethernet: the tag types, outermost first
  // IPv6: extension headers between the fixed header and TCP, in order (`proto`
  // then names what follows the last one). The payload length counts them. An IPv4
  // segment ignores them.
  std::vector<Ip6Header> ip6_headers;
};

// Segment builders for the usual client (10.0.0.1:5555) / server (10.0.0.2:80) pair.
Seg syn(uint32_t seq);
Seg synack(uint32_t seq, uint32_t ack);
Seg client_fin(uint32_t seq, uint32_t ack, size_t payload = 0);
Seg server_fin(uint32_t seq, uint32_t ack, size_t payload = 0);
Seg client_rst(uint32_t seq);
Seg server_rst(uint32_t seq);
// The same segment of the client on `port` instead (its source, or the server's
// destination).
Seg on_client_port(Seg seg, uint16_t port);

uint32_t ip(const std::string& dotted);  // network byte order, as stored in a packet
std::array<uint8_t, 16> ip6(const std::string& text);

// The same segment between IPv6 addresses: 10.0.0.N becomes 2001:db8::N.
Seg as_ipv6(Seg seg);
std::string ipv6_of(const std::string& dotted);

std::vector<uint8_t> tcp_frame(Link link, const Seg& seg);
std::vector<uint8_t> arp_frame();
std::vector<uint8_t> ipv6_frame();
std::vector<uint8_t> vlan_frame(const Seg& seg);  // 802.1Q-tagged Ethernet
std::vector<uint8_t> udp_frame(Link link, const std::string& src, const std::string& dst,
                               uint16_t sport, uint16_t dport);

struct Packet {
  int64_t sec = 0;
  int64_t usec = 0;
  std::vector<uint8_t> data;  // the captured bytes
  uint32_t wire_len = 0;      // 0: the captured length
};

Packet at(int64_t sec, int64_t usec, std::vector<uint8_t> data);

// The libpcap record header of a packet: its time, captured and wire lengths.
pcap_pkthdr header_of(const Packet& p);
Packet at(int64_t sec, int64_t usec, const Seg& seg, Link link = Link::ETHERNET);

// Writes a classic savefile through libpcap (pcap_open_dead + pcap_dump_open).
void write_pcap(const std::string& path, const std::vector<Packet>& packets,
                Link link = Link::ETHERNET);
// Same, for any link type number (to forge unsupported ones).
void write_pcap_dlt(const std::string& path, const std::vector<Packet>& packets, int dlt);

// Reads a savefile back; the link type goes to *dlt when given.
std::vector<Packet> read_pcap(const std::string& path, int* dlt = nullptr);

// The bytes of a classic savefile (microsecond timestamps, this host's byte order),
// as write_pcap writes them, for tests that need a capture in memory.
std::vector<uint8_t> pcap_bytes(const std::vector<Packet>& packets, Link link = Link::ETHERNET);

// The same savefile as written on a host of the other byte order: the header and
// record fields swapped, and on the loopback link the address family too.
std::vector<uint8_t> pcap_bytes_other_order(const std::vector<Packet>& packets,
                                            Link link = Link::ETHERNET);

// The same packets in the pcapng format: a Section Header Block, one Interface
// Description Block (microsecond timestamps) and an Enhanced Packet Block each.
std::vector<uint8_t> pcapng_bytes(const std::vector<Packet>& packets, Link link = Link::ETHERNET);

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testlib
