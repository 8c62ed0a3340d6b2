#include "track/port_filter.h"

#include <pcap/dlt.h>
#include <sys/socket.h>

#include <cstdio>

std::string filter_text(FilterExpression expression, const PortSet& ports) {
  switch (expression) {
    case FilterExpression::HANDSHAKE_AND_CLOSE: {
      static constexpr char FLAGS_PART[] = "((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)";
      if (ports.every()) return std::string("(tcp)&&") + FLAGS_PART;
      static constexpr char PORT_FMT[] = "(tcp port %u)";
      static constexpr char RANGE_FMT[] = "(tcp portrange %u-%u)";
      char term[64];
      std::string text;
      const auto ranges = ports.ranges();
      for (const auto& [lo, hi] : ranges) {
        if (lo == hi)
          std::snprintf(term, sizeof term, PORT_FMT, static_cast<unsigned>(lo));
        else
          std::snprintf(term, sizeof term, RANGE_FMT, static_cast<unsigned>(lo),
                        static_cast<unsigned>(hi));
        if (!text.empty()) text += "||";
        text += term;
      }
      // One port is written as it always was: scripts read the -d trace of it.
      if (ranges.size() != 1 || ranges.front().first != ranges.front().second)
        text = "(" + text + ")";
      return text + "&&" + FLAGS_PART;
    }
  }
  return std::string();
}

std::optional<PortFilter> PortFilter::make(FilterExpression expression, const PortSet& ports,
                                           const FilterSource& source) {
  if (expression != FilterExpression::HANDSHAKE_AND_CLOSE) return std::nullopt;
  PortFilter filter;
  filter.ports_ = ports;
  switch (source.link_type) {
    case DLT_EN10MB:
      filter.framing_ = Framing::ETHERNET;
      return filter;
    case DLT_NULL: {
      filter.framing_ = Framing::NULL_FAMILY;
      // libpcap compares the family with AF_INET as the capturing host stored it:
      // in a savefile of the other byte order the four bytes come reversed.
      const uint32_t inet = AF_INET;
      filter.inet_family_ = source.swapped ? __builtin_bswap32(inet) : inet;
      return filter;
    }
    default:
      return std::nullopt;
  }
}
