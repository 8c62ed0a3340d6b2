#include "track/port_filter.h"

#include <pcap/dlt.h>
#include <sys/socket.h>

#include <cstdio>

std::string filter_text(FilterExpression expression, uint16_t port) {
  switch (expression) {
    case FilterExpression::HANDSHAKE_AND_CLOSE: {
      static constexpr char HANDSHAKE_AND_CLOSE_FMT[] =
          "(tcp port %d)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)";
      char text[128];
      std::snprintf(text, sizeof text, HANDSHAKE_AND_CLOSE_FMT, port);
      return text;
    }
  }
  return std::string();
}

std::optional<PortFilter> PortFilter::make(FilterExpression expression, uint16_t port,
                                           const FilterSource& source) {
  if (expression != FilterExpression::HANDSHAKE_AND_CLOSE) return std::nullopt;
  PortFilter filter;
  filter.port_ = port;
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
