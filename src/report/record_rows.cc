#include "report/record_rows.h"

#include <cstring>
#include <iterator>


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
    // Later fields last, so that the columns a script found by position before stay
    // where they were.
    "port", "duration_p50_us", "duration_p99_us", "client_bytes", "server_bytes", "partial",
};
const size_t INTERVAL_FIELD_COUNT = sizeof INTERVAL_FIELDS / sizeof INTERVAL_FIELDS[0];

namespace {

// The words of the state and party fields, each in an array of its own size, so
// that a row copies them as blocks of known size.
struct Word {
  char text[16];
  size_t size;
};

constexpr Word STATE_WORDS[] = {
    {"completed", 9}, {"closing", 7},  {"reset", 5},   {"unanswered", 10},
    {"open", 4},      {"replaced", 8}, {"expired", 7},
};
constexpr Word PARTY_WORDS[] = {{"", 0}, {"client", 6}, {"server", 6}};

const Word& state_word(RecordState state) {
  const size_t i = static_cast<size_t>(state);
  return STATE_WORDS[i < std::size(STATE_WORDS) ? i : static_cast<size_t>(RecordState::OPEN)];
}

}  // namespace

const char* state_name(RecordState state) { return state_word(state).text; }

const char* party_name(Party party) {
  const size_t i = static_cast<size_t>(party);
  return party == Party::NONE || i >= std::size(PARTY_WORDS) ? nullptr : PARTY_WORDS[i].text;
}

namespace {

void party_field(RowCursor& row, Party party) {
  const size_t i = static_cast<size_t>(party);
  if (party != Party::NONE && i < std::size(PARTY_WORDS))
    row.word_block(PARTY_WORDS[i].text, PARTY_WORDS[i].size);
  else
    row.null();
}

// An IPv6 address is converted each time: its pool number is freed with the last
// connection that holds it and may stand for another address later.
void addr_field(RowCursor& row, const AddrPool& pool, ConnRowCache::Column& cache,
                const Endpoint& e) {
  if (e.family != Family::IPV4) {
    const AddrText text = addr_text(pool, e);
    row.word_block(text.text, std::strlen(text.text));
    return;
  }
  if (!cache.valid || cache.addr != e.addr) {
    cache.text = ipv4_text(e.addr);
    cache.size = std::strlen(cache.text.text);
    cache.addr = e.addr;
    cache.valid = true;
  }
  row.word_block(cache.text.text, cache.size);
}

// -1 stands for "not known"; no other time of a record is negative.
void time_field(RowCursor& row, int64_t us) {
  if (us >= 0)
    row.number(static_cast<uint64_t>(us));
  else
    row.null();
}

}  // namespace

void write_conn_row(RowWriter& w, const AddrPool& pool, ConnRowCache& cache, const ConnRecord& r) {
  RowCursor row(w);
  addr_field(row, pool, cache.client, r.client);
  row.number(uint64_t{r.client.port});
  addr_field(row, pool, cache.server, r.server);
  row.number(uint64_t{r.server.port});
  row.number(r.start_us);  // negative only on a damaged timestamp
  row.number(r.syns);
  row.number(static_cast<uint64_t>(r.synacks));
  time_field(row, r.handshake_us);
  const Word& state = state_word(r.state);
  row.word_block(state.text, state.size);
  party_field(row, r.closed_by);
  party_field(row, r.reset_by);
  if (r.client_bytes_known)
    row.number(uint64_t{r.client_bytes});
  else
    row.null();
  if (r.server_bytes_known)
    row.number(uint64_t{r.server_bytes});
  else
    row.null();
  time_field(row, r.duration_us);
  time_field(row, r.fin_to_fin_us);
  row.boolean(r.counted);
  row.done();
}

void write_interval_row(RowWriter& w, const IntervalRow& r, uint16_t port) {
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
  w.number(uint64_t{port});
  if (r.counted != 0) {
    w.real(r.duration_p50_us);
    w.real(r.duration_p99_us);
  } else {
    w.null();
    w.null();
  }
  w.number(r.client_bytes);
  w.number(r.server_bytes);
  w.boolean(r.partial);
  w.end_row();
}
