// Connection records through the handlers: each sequence of segments ends in the
// records it should, with the times, counts and parties it should, and the records
// always agree with what the report counts (counted, resets, waiting, in progress).
#include "track/records.h"

#include <algorithm>
#include <vector>

#include "stats/monitor.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

struct Step {
  int64_t usec;  // after 100 s
  Seg seg;
};

// What a record must say; -1 / NONE: not known.
struct Want {
  RecordState state;
  int64_t start_usec;  // after 100 s
  uint64_t syns;
  int64_t handshake_us;
  Party closed_by;
  Party reset_by;
  int64_t duration_us;
  int64_t fin_to_fin_us;
  bool counted;
};

struct RecordCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<Want> left;     // records that left during the steps, in order
  std::vector<Want> at_end;   // then those still in the table
  uint64_t max_client_bytes = 0;
};

const Step S{0, syn(1000)};
const Step SA{3500, synack(9000, 1001)};
const Step CF{250700, client_fin(1501, 12001)};
const Step SF{290700, server_fin(12001, 1502)};
Seg with_seq(Seg s, uint32_t seq) {
  s.seq = seq;
  return s;
}

using P = Party;
using R = RecordState;

// clang-format off
const RecordCase CASES[] = {
    {"AnsweredFin", {S, SA, CF, SF},
     {{R::COMPLETED, 0, 1, 3500, P::CLIENT, P::NONE, 250700, 40000, true}}, {}},
    {"RepeatedFirstFinTimesTheAnswerFromTheRepeat",
     {S, SA, CF, {260000, client_fin(1501, 12001)}, SF},
     {{R::COMPLETED, 0, 1, 3500, P::CLIENT, P::NONE, 250700, 30700, true}}, {}},
    {"ServerClosesFirst", {S, SA, {100000, server_fin(12001, 1501)}, {100500, client_fin(1501, 12002)}},
     {{R::COMPLETED, 0, 1, 3500, P::SERVER, P::NONE, 100000, 500, true}}, {}},
    // The first SYN starts the record; the handshake is timed from the answered one.
    {"RetriedSyn", {S, {1000000, syn(1000)}, {1003000, synack(9000, 1001)}},
     {}, {{R::OPEN, 0, 2, 3000, P::NONE, P::NONE, -1, -1, false}}},
    {"ResetBeforeTheAnswer", {S, {5000, client_rst(1001)}},
     {{R::RESET, 0, 1, -1, P::NONE, P::CLIENT, -1, -1, false}}, {}},
    {"ResetByTheServer", {S, SA, {9000, server_rst(9001)}},
     {{R::RESET, 0, 1, 3500, P::NONE, P::SERVER, -1, -1, false}}, {}},
    // Not one of the report's resets: the first FIN measured and counted it.
    {"ResetAfterTheFirstFin", {S, SA, CF, {260000, server_rst(12001)}},
     {{R::COMPLETED, 0, 1, 3500, P::CLIENT, P::SERVER, 250700, -1, true}}, {}},
    // A new SYN on the endpoint, answered: the old connection is replaced. The new
    // one starts at its first SYN; a repeated SYN-ACK after it replaces nothing.
    {"PortReused",
     {S, SA, {2000000, with_seq(syn(5000), 5000)}, {2100000, with_seq(syn(5000), 5000)},
      {2103000, synack(7000, 5001)}, {2500000, synack(7000, 5001)}},
     {{R::REPLACED, 0, 1, 3500, P::NONE, P::NONE, -1, -1, false}},
     {{R::OPEN, 2000000, 1, 3000, P::NONE, P::NONE, -1, -1, false}}},
    // A SYN-ACK puts a closing connection back to established, and its next FIN
    // counts it a second time: two records, both counted.
    {"SynAckOnAClosingConnection", {S, SA, CF, {300000, synack(9000, 1001)}, {400000, server_fin(12001, 1502)}},
     {{R::REPLACED, 0, 1, 3500, P::CLIENT, P::NONE, 250700, -1, true}},
     {{R::CLOSING, 0, 1, 3500, P::SERVER, P::NONE, 400000, -1, true}}},
    {"OutsideTheByteLimits", {S, SA, CF, SF},
     {{R::COMPLETED, 0, 1, 3500, P::CLIENT, P::NONE, 250700, 40000, false}}, {}, 500},
    {"StillThereAtTheEnd",
     {S, SA, {10000, [] { Seg s = syn(50); s.sport = 6000; return s; }()},
      {11000, [] { Seg s = syn(50); s.sport = 6000; return s; }()},
      {20000, [] { Seg s = syn(70); s.sport = 7000; return s; }()},
      {21000, [] { Seg s = synack(300, 71); s.dport = 7000; return s; }()},
      {30000, [] { Seg s = client_fin(80, 310); s.sport = 7000; return s; }()}},
     {},
     {{R::OPEN, 0, 1, 3500, P::NONE, P::NONE, -1, -1, false},
      {R::UNANSWERED, 10000, 2, -1, P::NONE, P::NONE, -1, -1, false},
      {R::CLOSING, 20000, 1, 1000, P::CLIENT, P::NONE, 10000, -1, true}}},
};
// clang-format on

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

void expect_record(const ConnRecord& r, const Want& w) {
  EXPECT_EQ(r.state, w.state);
  EXPECT_EQ(r.start_us, 100000000 + w.start_usec);
  EXPECT_EQ(r.syns, w.syns);
  EXPECT_EQ(r.handshake_us, w.handshake_us);
  EXPECT_EQ(r.closed_by, w.closed_by);
  EXPECT_EQ(r.reset_by, w.reset_by);
  EXPECT_EQ(r.duration_us, w.duration_us);
  EXPECT_EQ(r.measured, w.duration_us >= 0);
  EXPECT_EQ(r.fin_to_fin_us, w.fin_to_fin_us);
  EXPECT_EQ(r.counted, w.counted);
}

// A fresh run whose monitor keeps records, collected as they leave.
class RecordsTest : public TrackerTest {
 protected:
  void start_keeping(const std::vector<std::string>& options = {}) {
    start(options);
    seen.clear();
    records_start(monitor().records, monitor().table);
    monitor().records.sink = [this](const ConnRecord& r) { seen.push_back(r); };
  }
  std::vector<ConnRecord> seen;
};

class Records : public RecordsTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(Records, LeaveAsTheSegmentsSay) {
  const RecordCase& c = GetParam();
  start_keeping(c.max_client_bytes == 0
                    ? std::vector<std::string>{}
                    : std::vector<std::string>{"-x", std::to_string(c.max_client_bytes)});
  const RecordKeeping& k = monitor().records;
  for (const Step& step : c.steps) {
    feed(100, step.usec, step.seg);
    // The waiting counts are kept as the table changes, never recounted.
    const OpenCounts open = count_open_connections(monitor());
    ASSERT_EQ(k.unanswered, open.never_completed);
    ASSERT_EQ(k.unanswered_syns, open.incomplete_syns);
  }
  ASSERT_EQ(seen.size(), c.left.size());
  for (size_t i = 0; i < c.left.size(); ++i) {
    SCOPED_TRACE("left #" + std::to_string(i));
    expect_record(seen[i], c.left[i]);
  }
  seen.clear();
  records_flush_table(monitor().records, monitor().table);
  ASSERT_EQ(seen.size(), c.at_end.size());
  std::sort(seen.begin(), seen.end(),
            [](const ConnRecord& a, const ConnRecord& b) { return a.start_us < b.start_us; });
  for (size_t i = 0; i < c.at_end.size(); ++i) {
    SCOPED_TRACE("at end #" + std::to_string(i));
    expect_record(seen[i], c.at_end[i]);
  }

  // What the report says of the same steps.
  int64_t counted = 0;
  uint64_t resets = 0;
  for (const auto* wants : {&c.left, &c.at_end})
    for (const Want& w : *wants) {
      counted += w.counted;
      resets += w.state == R::RESET;
    }
  EXPECT_EQ(counted, monitor().totals.nconns);
  EXPECT_EQ(resets, monitor().totals.resets);
}

INSTANTIATE_TEST_SUITE_P(Steps, Records, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordsTest, RecordsCarryBothEndpoints) {
  start_keeping();
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100, 5000, client_rst(1001));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].client, (Endpoint{IpAddr{ip("10.0.0.1")}, 5555}));
  EXPECT_EQ(seen[0].server, (Endpoint{IpAddr{ip("10.0.0.2")}, 80}));
  EXPECT_EQ(seen[0].synacks, 1);
}

// An RST before any FIN: the bytes its own sequence number and, when it carries an
// ACK, its acknowledgement give, counted from the ISNs as a first FIN counts them
// (the SYN as one). The server's count needs its ISN: a refusal has none.
TEST_F(RecordsTest, ResetCarriesTheBytesItTells) {
  const auto acking = [](Seg s, uint32_t ack) {
    s.flags |= 0x10;
    s.ack = ack;
    return s;
  };
  struct {
    const char* name;
    std::vector<Seg> segs;
    bool client_known, server_known;
    uint32_t client, server;
  } cases[] = {
      {"ClientRstWithAck", {syn(1000), synack(9000, 1001), acking(client_rst(1501), 9301)},
       true, true, 501, 301},
      {"ClientRstAlone", {syn(1000), synack(9000, 1001), client_rst(1501)}, true, false, 501, 0},
      {"ServerRstWithAck", {syn(1000), synack(9000, 1001), acking(server_rst(9801), 1201)},
       true, true, 201, 801},
      {"ServerRstAlone", {syn(1000), synack(9000, 1001), server_rst(9801)}, false, true, 0, 801},
      {"Refused", {syn(1000), acking(server_rst(0), 1001)}, true, false, 1, 0},
      {"ClientGivesUp", {syn(1000), client_rst(1001)}, true, false, 1, 0},
      // Sequence numbers wrap: the counts are modulo 2^32.
      {"WrappingIsn", {syn(0xfffffff0u), synack(0xffffff00u, 0xfffffff1u),
                       acking(client_rst(0x10), 0x100)}, true, true, 0x20, 0x200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_keeping();
    int64_t usec = 0;
    for (const Seg& s : c.segs) feed(100, usec += 1000, s);
    ASSERT_EQ(seen.size(), 1u);
    const ConnRecord& r = seen[0];
    EXPECT_EQ(r.state, RecordState::RESET);
    EXPECT_FALSE(r.measured);
    EXPECT_EQ(r.client_bytes_known, c.client_known);
    EXPECT_EQ(r.server_bytes_known, c.server_known);
    EXPECT_EQ(r.client_bytes, c.client);
    EXPECT_EQ(r.server_bytes, c.server);
  }
}

// Without the options that need it the records column is never created: an open
// connection costs its table slot and nothing more.
TEST_F(TrackerTest, NoRecordsColumnWithoutRecords) {
  for (uint16_t port = 1000; port < 1100; ++port) {
    Seg s = syn(port);
    s.sport = port;
    feed(100, port, s);
  }
  EXPECT_FALSE(monitor().table.keeps_extra);
  EXPECT_TRUE(monitor().table.extra.empty());
  EXPECT_EQ(monitor().records.unanswered, 0u);
}

}  // namespace
