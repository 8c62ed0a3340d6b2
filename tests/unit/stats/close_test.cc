// Close accounting over the worked example: client 10.0.0.1:5555 with ISN 1000,
// server ISN 9000, the client's FIN (seq 1501, ack 12001) 250.7 ms after the SYN:
// 501 client bytes, 3001 server bytes, 250 ms, bucket 12 of twenty 20-ms buckets.
#include "stats/tracker.h"

#include <functional>
#include <optional>

#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

struct Step {
  int64_t usec;  // after 100 s
  Seg seg;
};

const Step S{0, syn(1000)};
const Step SA{3500, synack(9000, 1001)};
const Step CF{250700, client_fin(1501, 12001)};
Step answer(int64_t usec) { return {usec, server_fin(12001, 1502)}; }

struct CloseCase {
  const char* name;
  std::vector<std::string> options;  // after "-p 80"
  std::vector<Step> steps;
  int64_t nconns;
  int64_t client_sum, server_sum, duration_sum, rtt_sum;
  int bucket;                      // where the connection was counted; -1: nowhere
  std::optional<ConnState> state;  // the record afterwards; nullopt: removed
  uint64_t resets = 0;
  std::string out = "";
};

const std::vector<std::string> none;

Seg with_src_dst(Seg s, const char* src, const char* dst) {
  s.src = src;
  s.dst = dst;
  return s;
}


// The client's FIN of the worked example with 100 bytes of payload: its sequence
// number lies 100 before the close point.
Seg fin_with_payload() { return client_fin(1401, 12001, 100); }

// The worked example with client and server on one address, the client's FIN
// repeated `repeats` times 10 ms apart.
std::vector<Step> shared_address(int repeats = 0) {
  std::vector<Step> steps = {
      {0, with_src_dst(syn(1000), "10.0.0.1", "10.0.0.1")},
      {3500, with_src_dst(synack(9000, 1001), "10.0.0.1", "10.0.0.1")},
      {250700, with_src_dst(client_fin(1501, 12001), "10.0.0.1", "10.0.0.1")}};
  for (int i = 1; i <= repeats; ++i)
    steps.push_back(
        {250700 + i * 10000, with_src_dst(client_fin(1501, 12001), "10.0.0.1", "10.0.0.1")});
  steps.push_back({290700, with_src_dst(server_fin(12001, 1502), "10.0.0.1", "10.0.0.1")});
  return steps;
}

// One case a row: name, settings, steps, then nconns, the four sums, the bucket, the
// state left, resets and what was printed.
// clang-format off
const CloseCase CASES[] = {
    {"ClientFinFirst", none, {S, SA, CF}, 1, 501, 3001, 250, 0, 12, CLOSING},
    {"ServerFinFirst", none, {S, SA, {250700, server_fin(12001, 1501)}},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"FinWithPayload", none, {S, SA, {250700, fin_with_payload()}},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"IsnWraps", none, {{0, syn(4294967000u)}, SA, {250700, client_fin(500, 12001)}},
      1, 796, 3001, 250, 0, 12, CLOSING},
    // Byte filters: limits count, negative limits were widened with their sign.
    {"MaxServerBelow", {"-X", "3000"}, {S, SA, CF, answer(290700)},
      0, 0, 0, 0, 0, -1, std::nullopt},
    {"MaxServerAt", {"-X", "3001"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"MaxServerNegative", {"-X", "-1"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"MinServerAt", {"-Y", "3001"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"MinServerAbove", {"-Y", "3002"}, {S, SA, CF},
      0, 0, 0, 0, 0, -1, CLOSING},
    {"MinServerNegative", {"-Y", "-1"}, {S, SA, CF},
      0, 0, 0, 0, 0, -1, CLOSING},
    {"MaxClientAt", {"-x", "501"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"MaxClientBelow", {"-x", "500"}, {S, SA, CF},
      0, 0, 0, 0, 0, -1, CLOSING},
    {"MinClientAt", {"-y", "501"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 12, CLOSING},
    {"MinClientAbove", {"-y", "502"}, {S, SA, CF},
      0, 0, 0, 0, 0, -1, CLOSING},
    // The answering FIN stands in for a missing handshake estimate: 0 < ms <= 1099.
    {"AnswerAt40ms", none, {S, SA, CF, answer(290700)}, 1, 501, 3001, 250, 40, 12, std::nullopt},
    {"AnswerAt0ms", none, {S, SA, CF, answer(250700)}, 1, 501, 3001, 250, 0, 12, std::nullopt},
    {"AnswerAt1099_9ms", none, {S, SA, CF, answer(250700 + 1099900)},
      1, 501, 3001, 250, 1099, 12, std::nullopt},
    {"AnswerAt1100ms", none, {S, SA, CF, answer(250700 + 1100000)},
      1, 501, 3001, 250, 0, 12, std::nullopt},
    {"AnswerBeforeFirstFin", none, {S, SA, CF, answer(200000)},
      1, 501, 3001, 250, 0, 12, std::nullopt},
    {"HandshakeEstimateWins", {"-T"}, {S, SA, CF, answer(290700)},
      1, 501, 3001, 250, 3, 12, std::nullopt},
    {"RepeatedFinMovesTheFinTime", none,
      {S, SA, CF, {300700, client_fin(1501, 12001)}, answer(340700)},
      1, 501, 3001, 250, 40, 12, std::nullopt},
    // Resets: counted before the first FIN, silent after it. A FIN before the
    // handshake completes changes nothing.
    {"RstInSynSeen", none, {S, {1000, client_rst(1001)}}, 0, 0, 0, 0, 0, -1, std::nullopt, 1},
    {"RstFromServerInEstablished", none, {S, SA, {9000, server_rst(9001)}},
      0, 0, 0, 0, 0, -1, std::nullopt, 1},
    {"RstInClosing", none, {S, SA, CF, {260000, client_rst(1502)}},
      1, 501, 3001, 250, 0, 12, std::nullopt, 0},
    {"FinInSynSeen", none, {S, {9000, client_fin(1001, 0)}}, 0, 0, 0, 0, 0, -1, SYN_SEEN},
    {"UnknownEndpoint", none, {{250700, client_fin(1501, 12001)}}, 0, 0, 0, 0, 0, -1, std::nullopt},
    // A SYN-ACK reopens a closing record: the next FIN counts it again, an RST then
    // counts as a reset.
    {"ReopenedAndCountedTwice", none,
      {S, SA, CF, {250800, synack(9000, 1001)}, {250900, client_fin(1501, 12001)}},
      2, 1002, 6002, 500, 0, 12, CLOSING},
    {"ReopenedThenReset", none,
      {S, SA, CF, {260000, synack(9000, 1001)}, {270000, client_rst(1501)}},
      1, 501, 3001, 250, 0, 12, std::nullopt, 1},
    // One address for both sides: the ports tell the answer from a repeated FIN.
    {"SharedAddress", none, shared_address(),
      1, 501, 3001, 250, 40, 12, std::nullopt},
    {"SharedAddressRepeatedFin", none, shared_address(2),
      1, 501, 3001, 250, 20, 12, std::nullopt},
    {"MinSyns", {"-c", "2"}, {S, {1000, syn(1000)}, SA, CF},
      1, 501, 3001, 249, 0, 12, CLOSING, 0, "NSYNS=2:host 10.0.0.1 and port 5555\n"},
    {"MinSynsNotReached", {"-c", "3"}, {S, {1000, syn(1000)}, SA, CF},
      1, 501, 3001, 249, 0, 12, CLOSING},
    // The byte orderings place by KB per bucket size; -s 1 makes 3001 bytes bucket 2.
    {"ServerBytes", {"-S", "-s", "1"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 2, CLOSING},
    {"ClientBytes", {"-C", "-s", "1"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 0, CLOSING},
    // -Y 1024 starts the first bucket at 1 KB.
    {"ServerBytesWithBase", {"-S", "-s", "1", "-Y", "1024"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 1, CLOSING},
    // The larger side over the duration: 3001 / 250 = 12 KB/s, bucket 2 of 5 KB/s each.
    {"Throughput", {"-P", "-s", "5"}, {S, SA, CF},
      1, 501, 3001, 250, 0, 2, CLOSING},
};
// clang-format on

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class CloseAccounting : public TrackerTest, public ::testing::WithParamInterface<CloseCase> {
 protected:
  void check(const CloseCase& c, bool ipv6);
};

// Runs the case's steps, over IPv6 when asked (10.0.0.N as 2001:db8::N), and checks
// what they left.
void CloseAccounting::check(const CloseCase& c, bool ipv6) {
  start(c.options);
  for (const Step& step : c.steps) feed(100, step.usec, ipv6 ? as_ipv6(step.seg) : step.seg);
  std::string expected_out = c.out;
  if (ipv6 && !expected_out.empty())
    expected_out.replace(expected_out.find("10.0.0.1"), 8, ipv6_of("10.0.0.1"));
  EXPECT_EQ(out(), expected_out);
  const RunTotals& t = monitor().totals;
  EXPECT_EQ(t.nconns, c.nconns);
  EXPECT_EQ(t.sum_client_bytes, c.client_sum);
  EXPECT_EQ(t.sum_server_bytes, c.server_sum);
  EXPECT_EQ(t.sum_duration, c.duration_sum);
  EXPECT_EQ(t.sum_rtt, c.rtt_sum);
  EXPECT_EQ(t.resets, c.resets);
  int64_t bucketed = 0;
  const BucketTable& buckets = monitor().buckets;
  for (size_t i = 0; i < buckets.size(); ++i) {
    const Bucket& b = buckets[i];
    bucketed += b.count;
    if (c.bucket == static_cast<int>(i)) {
      EXPECT_EQ(b.count, c.nconns) << "bucket " << i;
      EXPECT_EQ(b.client_bytes, c.client_sum);
      EXPECT_EQ(b.server_bytes, c.server_sum);
      EXPECT_EQ(b.rtt, c.rtt_sum);
    }
  }
  EXPECT_EQ(bucketed, c.nconns);
  const ConnInfo* rec = client(ipv6 ? ipv6_of("10.0.0.1") : "10.0.0.1");
  if (c.state) {
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->state, *c.state);
  } else {
    EXPECT_EQ(rec, nullptr);
    // Nothing else holds an address: a removed record leaves the pool empty.
    EXPECT_EQ(run().pool.size, 0u);
  }
  EXPECT_EQ(t.sum_syns, static_cast<uint64_t>(c.nconns) *
                                   (c.steps.size() > 1 && c.steps[1].seg.flags == SYN ? 2 : 1));
}

TEST_P(CloseAccounting, CountsBucketsAndRemoves) { check(GetParam(), false); }

// The same accounting for connections over IPv6, their addresses held by number.
TEST_P(CloseAccounting, SameOverIpv6) { check(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(WorkedExample, CloseAccounting, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

using Close = TrackerTest;

TEST_F(Close, ThroughputOverflowBucket) {
  // Closed within the millisecond: the duration counts as 1 for the throughput.
  start({"-P"});
  feed(100, 0, syn(1000));
  feed(100, 100, synack(9000, 1001));
  feed(100, 500, client_fin(1001 + 0, 9001 + 64000 - 1));
  const ConnInfo* rec = client();
  EXPECT_EQ(rec->throughput, 64000u);
  EXPECT_EQ(rec->bucket, 20);
  const Bucket& b = monitor().buckets[20];
  EXPECT_EQ(b.count, 1);
  EXPECT_EQ(b.duration, 1);
  EXPECT_EQ(b.throughput, 64001 / 2);
  EXPECT_EQ(monitor().totals.sum_duration, 0);
}

TEST_F(Close, FinTracesInBothDirections) {
  start({"-d"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  out();
  feed(100, 250700, client_fin(1501, 12001));
  EXPECT_EQ(out(), "10.0.0.1:5555 > 10.0.0.2:80 F SEQ:1501(501),ACK:12001(3001),MSECS:250\n");
  start({"-d"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  out();
  feed(100, 250700, server_fin(12001, 1501));
  EXPECT_EQ(out(), "10.0.0.2:80 > 10.0.0.1:5555 F SEQ:12001(3001),ACK:1501(501),MSECS:250\n");
}

TEST_F(Close, DashDCapturesTheFirstFinsAddresses) {
  start({"-D", "240"});  // 240 to 260 ms
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100, 250700, server_fin(12001, 1501));
  const FilterList& filters = monitor().filters;
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].addr_a, IpAddr{ip("10.0.0.2")});
  EXPECT_EQ(filters[0].addr_b, IpAddr{ip("10.0.0.1")});
  EXPECT_EQ(filters[0].client_port, 5555u);

  start({"-D", "251"});  // just above: not listed
  Seg s = syn(1000);
  s.sport = 6000;
  Seg sa = synack(9000, 1001);
  sa.dport = 6000;
  Seg f = client_fin(1501, 12001);
  f.sport = 6000;
  feed(100, 0, s);
  feed(100, 3500, sa);
  feed(100, 250700, f);
  EXPECT_EQ(monitor().filters.size(), 0u);
}

TEST_F(Close, SynDistributionAndSums) {
  for (uint16_t port : {5001, 5002, 5003}) {
    int syns = port == 5003 ? 3 : 1;
    for (int i = 0; i < syns; ++i) {
      Seg s = syn(1000);
      s.sport = port;
      feed(100, i, s);
    }
    Seg sa = synack(9000, 1001);
    sa.dport = port;
    Seg f = client_fin(1001, 9001);
    f.sport = port;
    feed(100, 10, sa);
    feed(100, 20, f);
  }
  EXPECT_EQ(monitor().totals.sum_syns, 5u);
  EXPECT_EQ(monitor().syn_dist, (SynDistribution{{1, 2}, {3, 1}}));
}

TEST_F(Close, WrappedDurationsNeverIndexOutsideTheTable) {
  // 2^31 ms and more after the SYN: the duration wraps negative. The connection is
  // reported and stays in the run totals, but is left out of every bucket.
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100 + 2147484, 0, client_fin(1501, 12001));
  const std::string errors = err();
  EXPECT_NE(errors.find(":Bad bucket value:-107374164\n\n"), std::string::npos) << errors;
  EXPECT_EQ(monitor().totals.nconns, 1);
  EXPECT_EQ(client()->bucket, -1);
  for (size_t i = 0; i < monitor().buckets.size(); ++i) EXPECT_EQ(monitor().buckets[i].count, 0);
  feed(100 + 2147484, 40000, server_fin(12001, 1502));  // no bucket: no estimate either
  EXPECT_EQ(monitor().totals.sum_rtt, 0);
  EXPECT_EQ(client(), nullptr);
}

TEST_F(Close, DurationOfMinusOneAddsNoThroughputTerm) {
  // 2^32 - 1 ms after the SYN the duration is -1: the term's divisor would be 0.
  start({"-P"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100 + 4294967, 295000, client_fin(1501, 12001));
  EXPECT_EQ(monitor().totals.sum_duration, -1);
  const Bucket& b = monitor().buckets[0];
  EXPECT_EQ(b.count, 1);
  EXPECT_EQ(b.duration, -1);
  EXPECT_EQ(b.throughput, 0);
}

}  // namespace
