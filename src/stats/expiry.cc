#include "stats/expiry.h"

#include <algorithm>

#include "track/records.h"

namespace {

bool past(const Timeval& since, const Timeval& now, int64_t limit_us) {
  return limit_us != 0 && usecs_between(since, now) > limit_us;
}

}  // namespace

size_t expiry_budget(const Monitor& m) {
  return std::max<size_t>(ConnTable::CHUNK_SIZE, m.table.used / 10);
}

void expire_records(Monitor& m, const Timeval& now, size_t budget) {
  ConnTable& t = m.table;
  const Settings& s = m.settings;
  if (t.used == 0) return;
  for (size_t looked = 0; looked < budget && looked < t.used; ++looked) {
    if (m.expiry_cursor >= t.used) m.expiry_cursor = 0;
    const uint32_t n = m.expiry_cursor++;
    if (!t.is_live(n)) continue;
    ConnInfo* rec = t.record(n);
    RecordState leaves;
    if (rec->state <= SYN_SEEN && past(rec->syn_time, now, s.syn_timeout_us)) {
      m.expired.unanswered++;
      m.expired.unanswered_syns += rec->nsyns;
      m.states.syn_seen--;
      leaves = RecordState::UNANSWERED;
    } else if (rec->state == CLOSING && past(rec->fin_time, now, s.closing_timeout_us)) {
      m.expired.closing++;
      m.states.closing--;
      leaves = RecordState::EXPIRED;
    } else if (rec->state == ESTABLISHED && past(rec->syn_time, now, s.max_age_us)) {
      m.expired.established++;
      m.states.established--;
      leaves = RecordState::EXPIRED;
    } else {
      continue;
    }
    if (m.records.enabled)
      record_leaves(m.records, t, ConnRef{rec, n}, leaves, Party::NONE, -1);
    const Endpoint client = rec->client;
    conn_erase(t, client);
  }
}
