#include "stats/percentiles.h"

void percentiles_add(RecordPercentiles& p, const ConnRecord& r) {
  if (!r.counted) return;
  p.duration_us.add(static_cast<uint64_t>(r.duration_us));
  if (r.handshake_us >= 0) p.handshake_us.add(static_cast<uint64_t>(r.handshake_us));
  if (r.fin_to_fin_us >= 0) p.fin_to_fin_us.add(static_cast<uint64_t>(r.fin_to_fin_us));
  p.client_bytes.add(r.client_bytes);
  p.server_bytes.add(r.server_bytes);
}

void percentiles_reserve(RecordPercentiles& p) {
  for (LogHistogram* h :
       {&p.duration_us, &p.handshake_us, &p.fin_to_fin_us, &p.client_bytes, &p.server_bytes})
    h->reserve();
}
