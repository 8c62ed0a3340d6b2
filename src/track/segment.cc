#include "track/segment.h"

#include "common/trace.h"
#include "track/addr_pool.h"

void trace_sender(const Segment& seg) {
  static constexpr char SENDER_FMT[] = "%s:%hu > ";
  std::fprintf(g_output.out, SENDER_FMT, addr_text(seg.src, true).text, seg.src.port);
}
