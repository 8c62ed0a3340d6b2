#include "track/segment.h"

#include "common/trace.h"

void trace_sender(const Segment& seg) {
  static constexpr char SENDER_FMT[] = "%s:%hu > ";
  std::fprintf(g_output.out, SENDER_FMT, addr_text(seg.src.addr).text, seg.src.port);
}
