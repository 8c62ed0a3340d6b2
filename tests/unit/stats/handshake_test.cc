// Handshake tracking: records created, restarted and established by SYNs and
// SYN-ACKs, the round-trip estimate, port reuse, and the key order.
#include "stats/tracker.h"

#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

using Handshake = TrackerTest;

TEST_F(Handshake, RepeatedSynsRestartTheRecord) {
  feed(100, 0, syn(1000));
  feed(101, 0, syn(1000));
  feed(103, 7, syn(1000));
  const ConnInfo* rec = client();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(conn_count(monitor().table), 1u);
  EXPECT_EQ(rec->nsyns, 3u);
  EXPECT_EQ(rec->state, SYN_SEEN);
  EXPECT_EQ(rec->syn_time.sec, 103);
  EXPECT_EQ(rec->syn_time.usec, 7);
  EXPECT_EQ(rec->bucket, -1);
  EXPECT_EQ(monitor().totals.total_syns, 3u);
  EXPECT_EQ(monitor().totals.dup_syns, 2u);
}

TEST_F(Handshake, SynAckWithoutRecordDoesNothing) {
  start({"-d"});
  feed(100, 0, synack(9000, 1001));
  EXPECT_EQ(out(), "");
  EXPECT_EQ(conn_count(monitor().table), 0u);
}

TEST_F(Handshake, SynAckFindsTheClientFromThePorts) {
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  const ConnInfo* rec = client();
  EXPECT_EQ(rec->state, ESTABLISHED);
  EXPECT_EQ(rec->server_isn, 9000u);
  EXPECT_EQ(rec->synacks, 1);
  EXPECT_EQ(rec->rtt, 0);  // a file run without -T never estimates
}

TEST_F(Handshake, BothPortsMonitoredLooksUpTheSender) {
  Seg s = syn(1000);
  s.sport = 80;
  Seg sa = synack(9000, 1001);
  sa.dport = 80;
  feed(100, 0, s);
  feed(100, 10, sa);
  EXPECT_EQ(client("10.0.0.1", 80)->state, SYN_SEEN);
  EXPECT_EQ(client("10.0.0.2", 80), nullptr);
}

TEST_F(Handshake, RoundTripFromHandshake) {
  struct Case {
    const char* name;
    bool dash_t;
    bool client_is_local;
    int32_t rtt;
    std::string err;
    bool ipv6 = false;  // the connections over IPv6, this host's IPv6 addresses known
  } cases[] = {
      {"WithDashT", true, false, 3, ""},
      {"ThroughLocalAddrs", false, true, 3, "RTT Estimation enabled.\n"},
      {"Neither", false, false, 0, ""},
      {"ThroughLocalIpv6Addrs", false, true, 3, "RTT Estimation enabled.\n", true},
      {"NeitherOverIpv6", false, false, 0, "", true},
  };
  for (const Case& c : cases) {
    start(c.dash_t ? std::vector<std::string>{"-T"} : std::vector<std::string>{});
    auto family = [&](const Seg& s) { return c.ipv6 ? as_ipv6(s) : s; };
    const std::string client_addr = c.ipv6 ? ipv6_of("10.0.0.1") : "10.0.0.1";
    if (c.ipv6) {
      // This host has an IPv6 address: the client's, or another one.
      Ip6Addr local6;
      const std::array<uint8_t, 16> bytes = ip6(c.client_is_local ? client_addr : "2001:db8::9");
      std::memcpy(local6.bytes, bytes.data(), 16);
      run().host.v6.insert(local6);
    } else if (c.client_is_local) {
      run().host.v4.insert(IpAddr{ip("10.0.0.1")});
    }
    feed(100, 0, family(syn(1000)));
    feed(100, 3500, family(synack(9000, 1001)));
    Seg other = syn(5000);
    other.sport = 6000;
    Seg other_sa = synack(7000, 5001);
    other_sa.dport = 6000;
    feed(101, 0, family(other));
    feed(101, 4900, family(other_sa));
    EXPECT_EQ(err(), c.err) << c.name;
    EXPECT_EQ(client(client_addr)->rtt, c.rtt) << c.name;
    EXPECT_EQ(client(client_addr, 6000)->rtt, c.rtt ? 4 : 0) << c.name;
    EXPECT_EQ(monitor().rtt_enabled, c.dash_t || c.client_is_local) << c.name;
  }
}

TEST_F(Handshake, SecondSynAckCountsButKeepsTheEstimate) {
  start({"-T"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100, 900000, synack(9000, 1001));
  EXPECT_EQ(client()->synacks, 2);
  EXPECT_EQ(client()->rtt, 3);
}

TEST_F(Handshake, SameIsnInEstablishedIsARepeatedSyn) {
  start({"-T"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(101, 0, syn(1000));
  const ConnInfo* rec = client();
  EXPECT_EQ(rec->state, SYN_SEEN);
  EXPECT_EQ(rec->nsyns, 2u);
  EXPECT_EQ(rec->synacks, 0);
  EXPECT_EQ(rec->rtt, 0);
  EXPECT_EQ(monitor().totals.dup_syns, 1u);
}

TEST_F(Handshake, PortReuseAdoptsTheAnsweredAttempt) {
  start({"-T", "-d"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(105, 250, syn(5000));  // a new attempt on the same endpoint
  const ConnInfo* rec = client();
  EXPECT_EQ(rec->client_isn, 1000u);  // recorded as pending only
  EXPECT_EQ(rec->pending_isn, 5000u);
  EXPECT_EQ(rec->nsyns, 1u);
  EXPECT_EQ(monitor().totals.total_syns, 1u);

  out();
  feed(105, 9000, synack(3333, 7001));  // answers something else: dropped
  EXPECT_EQ(out(), "10.0.0.2:80 > 10.0.0.1:5555 SA SEQ:3333,DROPPED\n");
  EXPECT_EQ(rec->server_isn, 9000u);
  EXPECT_EQ(rec->synacks, 1);

  feed(105, 9000, synack(4444, 5001));
  EXPECT_EQ(out(), "10.0.0.2:80 > 10.0.0.1:5555 SA SEQ:4444,MSECS:8\n");
  EXPECT_EQ(rec->client_isn, 5000u);
  EXPECT_EQ(rec->syn_time.sec, 105);
  EXPECT_EQ(rec->syn_time.usec, 250);
  EXPECT_EQ(rec->server_isn, 4444u);
  EXPECT_EQ(rec->synacks, 1);
  EXPECT_EQ(rec->rtt, 3);  // the replaced attempt's estimate stays
  EXPECT_EQ(rec->nsyns, 1u);

  // The pending attempt stays recorded: a retransmitted answer is adopted again and
  // anything else is dropped.
  feed(105, 19000, synack(4444, 5001));
  EXPECT_EQ(rec->synacks, 1);
  feed(105, 29000, synack(4444, 1001));
  EXPECT_EQ(rec->synacks, 1);
  EXPECT_EQ(rec->client_isn, 5000u);
}

TEST_F(Handshake, PendingSynWithZeroMicrosecondsIsNeverCompared) {
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(105, 0, syn(5000));
  feed(105, 9000, synack(4444, 7777));
  const ConnInfo* rec = client();
  EXPECT_EQ(rec->server_isn, 4444u);
  EXPECT_EQ(rec->synacks, 2);
  EXPECT_EQ(rec->client_isn, 1000u);
  EXPECT_EQ(rec->syn_time.sec, 100);
}

// The byte counts' origin: every SYN-ACK that establishes an attempt sets it, a
// further answer to the established attempt leaves it where that one put it, and
// any other SYN-ACK moves it as it always has.
TEST_F(Handshake, ServerIsnComesFromTheSynAckThatEstablished) {
  const struct {
    const char* name;
    std::vector<std::pair<int64_t, Seg>> steps;  // usec after 100 s, segment
    uint64_t server_isn;
    int synacks;
  } cases[] = {
      {"RetransmittedSameIsn", {{0, syn(1000)}, {10, synack(9000, 1001)}, {20, synack(9000, 1001)}},
       9000, 2},
      {"StrayWithAnotherIsn", {{0, syn(1000)}, {10, synack(9000, 1001)}, {20, synack(5, 1001)}},
       9000, 2},
      {"StrayNearTheWrap",
       {{0, syn(1000)}, {10, synack(4294967000u, 1001)}, {20, synack(1234, 1001)}},
       4294967000u, 2},
      // Acknowledging something else, it is no answer to this attempt: as it always was.
      {"AnotherAcknowledgement", {{0, syn(1000)}, {10, synack(9000, 1001)}, {20, synack(5, 77)}},
       5, 2},
      // A SYN-ACK that takes a closing connection back establishes it anew.
      {"ReopensAClosingConnection",
       {{0, syn(1000)}, {10, synack(9000, 1001)}, {30, client_fin(1501, 12001)},
        {40, synack(5, 1001)}, {50, synack(6, 1001)}},
       5, 3},
      // A repeated SYN starts the attempt again: its answer establishes it.
      {"RepeatedSynAnsweredAnew",
       {{0, syn(1000)}, {10, synack(9000, 1001)}, {20, syn(1000)}, {30, synack(5, 1001)},
        {40, synack(6, 1001)}},
       5, 2},
      // The pending attempt is adopted again by every answer to it, so each of those
      // establishes it.
      {"AdoptedAttempt",
       {{0, syn(1000)}, {10, synack(9000, 1001)}, {20, syn(5000)}, {30, synack(4444, 5001)},
        {40, synack(3333, 5001)}},
       3333, 1},
      // A pending SYN stamped with 0 microseconds is never compared: its answer moves
      // the origin as it always has.
      {"ZeroMicrosecondPendingSyn",
       {{0, syn(1000)}, {10, synack(9000, 1001)}, {1000000, syn(5000)},
        {1000010, synack(4444, 7777)}},
       4444, 2},
  };
  for (const auto& c : cases) {
    start();
    for (const auto& [usec, seg] : c.steps) feed(100 + usec / 1000000, usec % 1000000, seg);
    const ConnInfo* rec = client();
    ASSERT_NE(rec, nullptr) << c.name;
    EXPECT_EQ(rec->server_isn, c.server_isn) << c.name;
    EXPECT_EQ(rec->synacks, c.synacks) << c.name;
    EXPECT_EQ(rec->state, ESTABLISHED) << c.name;
  }
}

TEST_F(Handshake, StraySynAckTracesItsOwnSequenceNumber) {
  start({"-d"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100, 9500, synack(2000000000, 1001));
  EXPECT_EQ(out(),
            "10.0.0.1:5555 > 10.0.0.2:80 S SEQ:1000\n"
            "10.0.0.2:80 > 10.0.0.1:5555 SA SEQ:9000,MSECS:3\n"
            "10.0.0.2:80 > 10.0.0.1:5555 SA SEQ:2000000000,MSECS:9\n");
  EXPECT_EQ(client()->server_isn, 9000u);
}

TEST_F(Handshake, Traces) {
  start({"-d"});
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  feed(100, 5000, syn(77));  // pending attempt: the trace shows the record's ISN
  EXPECT_EQ(out(),
            "10.0.0.1:5555 > 10.0.0.2:80 S SEQ:1000\n"
            "10.0.0.2:80 > 10.0.0.1:5555 SA SEQ:9000,MSECS:3\n"
            "10.0.0.1:5555 > 10.0.0.2:80 S SEQ:1000\n");
}

TEST(ClientKey, TextAndOrder) {
  struct Case {
    const char* addr;
    uint16_t port;
    const char* key;
  } cases[] = {
      {"10.0.0.1", 5555, "0x100000a0x15b3"},
      {"10.1.2.0", 5555, " 0x2010a0x15b3"},
      {"10.0.0.16", 80, "0x1000000a0x50"},
      {"10.0.0.1", 80, "0x100000a0x50"},
      {"10.0.0.2", 80, "0x200000a0x50"},
      {"0.0.0.0", 0, "       0   0"},
      {"255.255.255.255", 65535, "0xffffffff0xffff"},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(client_key(Endpoint{IpAddr{ip(c.addr)}, c.port}).data(), c.key);
}

TEST_F(Handshake, ListingFollowsKeyTextOrder) {
  const std::pair<const char*, uint16_t> clients[] = {{"10.0.0.2", 80},
                                                      {"10.0.0.1", 80},
                                                      {"10.0.0.1", 5555},
                                                      {"10.0.0.16", 80},
                                                      {"10.1.2.0", 5555}};
  for (const auto& [addr, port] : clients) {
    Seg s = syn(1);
    s.src = addr;
    s.sport = port;
    s.dport = 9999;
    feed(100, 0, s);
  }
  std::vector<std::string> keys;
  for (const ConnInfo* rec : conns_in_key_order(monitor().table)) keys.push_back(client_key(rec->client).data());
  EXPECT_EQ(keys, (std::vector<std::string>{" 0x2010a0x15b3", "0x1000000a0x50", "0x100000a0x15b3",
                                            "0x100000a0x50", "0x200000a0x50"}));
}

TEST_F(Handshake, FullTableCountsNewEndpointsSynsWithoutFollowingThem) {
  start({"--max-conns", "2", "-d"});
  for (uint16_t port : {5001, 5002, 5003, 5004, 5003}) {
    Seg s = syn(1000 + port);
    s.sport = port;
    feed(100, port, s);
  }
  // A known endpoint is still followed: a repeated SYN restarts its record.
  Seg again = syn(6001);
  again.sport = 5001;
  feed(101, 0, again);
  EXPECT_EQ(conn_count(monitor().table), 2u);
  EXPECT_EQ(monitor().totals.total_syns, 6u);
  EXPECT_EQ(monitor().totals.dup_syns, 1u);
  EXPECT_EQ(monitor().untracked.syns, 3u);
  EXPECT_EQ(monitor().untracked.endpoints.count(), 2u);
  EXPECT_EQ(client("10.0.0.1", 5003), nullptr);
  // The trace of an untracked SYN shows its own sequence number.
  const std::string traces = out();
  EXPECT_NE(traces.find("10.0.0.1:5003 > 10.0.0.2:80 S SEQ:6003\n"), std::string::npos) << traces;
}

}  // namespace
