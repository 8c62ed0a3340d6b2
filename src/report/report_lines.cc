#include "report/report_lines.h"

#include <cinttypes>

void print_results_line(FILE* out, uint16_t port, int32_t elapsed_ms) {
  static constexpr char RESULTS_FMT[] = "Results of monitoring port %d for %f seconds\n";
  std::fprintf(out, RESULTS_FMT, port, elapsed_ms / 1000.0);
}

void print_syn_totals(FILE* out, const Monitor& m) {
  static constexpr char SYNS_FMT[] =
      "Total number of SYNs: %" PRIu64 " (duplicates: %" PRIu64 ")\n";
  std::fprintf(out, SYNS_FMT, m.totals.total_syns, m.totals.dup_syns);
}

void print_syns_taken(FILE* out, const Monitor& m) {
  const RunTotals& t = m.totals;
  static constexpr char SUM_SYNS_FMT[] =
      "Number of SYNs taken to establish connections: %" PRIu64 "\n";
  std::fprintf(out, SUM_SYNS_FMT, t.sum_syns);
  if (t.nconns != 0) {
    // Single precision, as scripts have always seen it: 43 / 40 prints 1.08.
    static constexpr char AVG_SYNS_FMT[] = "Avg no. of SYNs to establish a connection: %5.2f\n";
    std::fprintf(
        out, AVG_SYNS_FMT,
        static_cast<double>(static_cast<float>(t.sum_syns) / static_cast<float>(t.nconns)));
  }
}

void print_incomplete_syns(FILE* out, uint64_t incomplete_syns) {
  static constexpr char INCOMPLETE_FMT[] =
      "Number of SYNs from incomplete connections: %" PRIu64 "\n";
  std::fprintf(out, INCOMPLETE_FMT, incomplete_syns);
}

void print_syn_distribution(FILE* out, const Monitor& m) {
  static constexpr char SYN_DIST_HEADING[] =
      "Distribution of SYNs to establsh connections (nSYNs:nConns): ";
  static constexpr char SYN_DIST_ENTRY_FMT[] = "%" PRIu64 ":%" PRIu64 ",";
  std::fputs(SYN_DIST_HEADING, out);
  // Ascending number of SYNs, each entry followed by a comma.
  for (const auto& [nsyns, conns] : m.syn_dist) std::fprintf(out, SYN_DIST_ENTRY_FMT, nsyns, conns);
}
