#include "report/record_rows.h"

#include "common/addr.h"

// Scripts address the fields by these names; the order is that of the CSV columns.
const char* const CONN_FIELDS[] = {
    "client",       "client_port",  "server",      "server_port",   "start_us", "syns",
    "synacks",      "handshake_us", "state",       "closed_by",     "reset_by", "client_bytes",
    "server_bytes", "duration_us",  "fin_to_fin_us", "counted",
};
const size_t CONN_FIELD_COUNT = sizeof CONN_FIELDS / sizeof CONN_FIELDS[0];

const char* const INTERVAL_FIELDS[] = {
    "start_us",        "end_us", "new_syns",   "retried_syns",     "counted",          "resets",
    "unanswered_syns", "open",   "handshakes", "handshake_p50_us", "handshake_p99_us",
};
const size_t INTERVAL_FIELD_COUNT = sizeof INTERVAL_FIELDS / sizeof INTERVAL_FIELDS[0];

const char* state_name(RecordState state) {
  switch (state) {
    case RecordState::COMPLETED:
      return "completed";
    case RecordState::CLOSING:
      return "closing";
    case RecordState::RESET:
      return "reset";
    case RecordState::UNANSWERED:
      return "unanswered";
    case RecordState::OPEN:
      return "open";
    case RecordState::REPLACED:
      return "replaced";
  }
  return "open";
}

const char* party_name(Party party) {
  switch (party) {
    case Party::CLIENT:
      return "client";
    case Party::SERVER:
      return "server";
    case Party::NONE:
      break;
  }
  return nullptr;
}

namespace {

void party_field(RowWriter& w, Party party) {
  if (const char* name = party_name(party))
    w.word(name);
  else
    w.null();
}

// The text of the address written last in a column: the server's is nearly always
// the same, and a client's often repeats, so most records need no conversion.
struct AddrCache {
  bool valid = false;
  IpAddr addr;
  AddrText text;
};

const char* addr_field(AddrCache& cache, IpAddr addr) {
  if (!cache.valid || cache.addr != addr) {
    cache.text = addr_text(addr);
    cache.addr = addr;
    cache.valid = true;
  }
  return cache.text.text;
}

AddrCache g_client_text, g_server_text;

// -1 stands for "not known".
void time_field(RowWriter& w, int64_t us) {
  if (us >= 0)
    w.number(us);
  else
    w.null();
}

}  // namespace

void write_conn_row(RowWriter& w, const ConnRecord& r) {
  w.word(addr_field(g_client_text, r.client.addr));
  w.number(uint64_t{r.client.port});
  w.word(addr_field(g_server_text, r.server.addr));
  w.number(uint64_t{r.server.port});
  w.number(r.start_us);
  w.number(r.syns);
  w.number(static_cast<int64_t>(r.synacks));
  time_field(w, r.handshake_us);
  w.word(state_name(r.state));
  party_field(w, r.closed_by);
  party_field(w, r.reset_by);
  if (r.measured) {
    w.number(uint64_t{r.client_bytes});
    w.number(uint64_t{r.server_bytes});
  } else {
    w.null();
    w.null();
  }
  time_field(w, r.duration_us);
  time_field(w, r.fin_to_fin_us);
  w.boolean(r.counted);
  w.end_row();
}

void write_interval_row(RowWriter& w, const IntervalRow& r) {
  w.number(r.start_us);
  w.number(r.end_us);
  w.number(r.new_syns);
  w.number(r.retried_syns);
  w.number(r.counted);
  w.number(r.resets);
  w.number(r.unanswered_syns);
  w.number(r.open);
  w.number(r.handshakes);
  if (r.handshakes != 0) {
    w.real(r.handshake_p50_us);
    w.real(r.handshake_p99_us);
  } else {
    w.null();
    w.null();
  }
  w.end_row();
}
