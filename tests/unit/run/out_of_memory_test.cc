// A table that cannot grow ends the run the way a stop request does: the segment
// that needed the memory and every later one are not handled, and every record
// still agrees with the others, whether segments were handed on one at a time or
// in batches.
#include <sstream>
#include <string>
#include <vector>

#include "common/big_alloc.h"
#include "run/packet_loop.h"
#include "stats/run_clock.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

class OutOfMemory : public TrackerTest {
 protected:
  void take(const Packet& p, bool deferred) {
    const pcap_pkthdr h = header_of(p);
    u_char* const user = reinterpret_cast<u_char*>(&packet_feed());
    if (deferred)
      handle_packet_deferred(user, &h, p.data.data());
    else
      handle_packet(user, &h, p.data.data());
  }
  std::string summary();
};

// Completed connections interleaved with ones left open, one endpoint each: the
// table only grows.
std::vector<Packet> growing_traffic(int connections) {
  std::vector<Packet> packets;
  for (int i = 0; i < connections; i++) {
    Seg s = syn(1000);
    s.src = "10.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
    const int64_t usec = i * 100;
    packets.push_back(at(100 + usec / 1000000, usec % 1000000, s));
    Seg a = synack(9000, 1001);
    a.dst = s.src;
    packets.push_back(at(100 + (usec + 50) / 1000000, (usec + 50) % 1000000, a));
    if (i % 3 == 0) {
      Seg f = client_fin(1501, 12001);
      f.src = s.src;
      packets.push_back(at(100 + (usec + 60) / 1000000, (usec + 60) % 1000000, f));
    }
  }
  return packets;
}

std::string OutOfMemory::summary() {
  const Monitor& m = monitor();
  std::ostringstream out;
  out << m.totals.total_syns << ' ' << m.totals.nconns << ' ' << m.totals.sum_syns << ' '
      << conn_count(m.table) << ' ' << run().conns_at_out_of_memory << ' '
      << run().clock.end_time.sec << '.' << run().clock.end_time.usec;
  for (const auto& [nsyns, conns] : m.syn_dist) out << ' ' << nsyns << ':' << conns;
  return out.str();
}

TEST_F(OutOfMemory, TheRunStopsAtTheSegmentThatFoundNoMemory) {
  const std::vector<Packet> packets = growing_traffic(3000);
  std::string one_at_a_time;
  for (bool deferred : {false, true}) {
    SCOPED_TRACE(deferred ? "in batches" : "one at a time");
    start();
    // The index's first table and the first chunk of records: growing the index
    // past 768 entries fails.
    run().memory.left = 2;
    for (const Packet& p : packets) take(p, deferred);
    if (deferred) flush_deferred_segments(packet_feed());
    const Monitor& m = monitor();
    ASSERT_TRUE(run().out_of_memory);
    EXPECT_EQ(run().conns_at_out_of_memory, 768u);
    EXPECT_EQ(conn_count(m.table), 768u);
    // The SYN that found no room was not counted, nor anything after it: 768
    // connections, every third one closed by its client.
    EXPECT_EQ(m.totals.total_syns, 768u);
    EXPECT_EQ(m.totals.nconns, 256);
    EXPECT_EQ(m.syn_dist, (SynDistribution{{1, 256}}));
    // The run ends at the packet that failed, in batches too.
    EXPECT_EQ(run().clock.end_time.sec, 100);
    EXPECT_EQ(run().clock.end_time.usec, 76800);
    if (!deferred)
      one_at_a_time = summary();
    else
      EXPECT_EQ(summary(), one_at_a_time);
  }
}

// IPv6 addresses need memory too, before the segment reaches its handler: the pool
// that cannot grow ends the run at that segment in the same way, and the pool then
// holds exactly the addresses of what the run kept.
TEST_F(OutOfMemory, TheRunStopsAtTheSegmentWhoseAddressFoundNoMemory) {
  std::vector<Packet> packets = growing_traffic(3000);
  for (Packet& p : packets) {
    // The same segments over IPv6: read the IPv4 frame's fields back.
    const std::vector<uint8_t>& f = p.data;
    Seg s;
    s.src = ipv6_of(std::to_string(f[26]) + "." + std::to_string(f[27]) + "." +
                    std::to_string(f[28]) + "." + std::to_string(f[29]));
    s.dst = ipv6_of(std::to_string(f[30]) + "." + std::to_string(f[31]) + "." +
                    std::to_string(f[32]) + "." + std::to_string(f[33]));
    s.sport = static_cast<uint16_t>(f[34] << 8 | f[35]);
    s.dport = static_cast<uint16_t>(f[36] << 8 | f[37]);
    s.seq = static_cast<uint32_t>(f[38] << 24 | f[39] << 16 | f[40] << 8 | f[41]);
    s.ack = static_cast<uint32_t>(f[42] << 24 | f[43] << 16 | f[44] << 8 | f[45]);
    s.flags = f[47];
    p = at(p.sec, p.usec, s);
  }
  std::string one_at_a_time;
  for (bool deferred : {false, true}) {
    SCOPED_TRACE(deferred ? "in batches" : "one at a time");
    start({"--decode-all"});
    // The pool's first index table and chunk, the table's index and first chunk:
    // growing the pool's index past 768 addresses (the server's and 767 clients')
    // fails.
    run().memory.left = 4;
    for (const Packet& p : packets) take(p, deferred);
    if (deferred) flush_deferred_segments(packet_feed());
    const Monitor& m = monitor();
    ASSERT_TRUE(run().out_of_memory);
    EXPECT_EQ(conn_count(m.table), 767u);
    EXPECT_EQ(m.totals.total_syns, 767u);
    EXPECT_EQ(m.totals.nconns, 256);
    // Each record holds its client's address, a closed one also its first FIN's
    // sender (the client again): nothing else is left holding one.
    const AddrPool& pool = run().pool;
    uint64_t refs = 0;
    for (uint32_t n = 1; n < pool.used; n++) refs += pool.slot(n).refs;
    EXPECT_EQ(refs, 767u + 256u);
    EXPECT_EQ(pool.size, 767u);
    if (!deferred)
      one_at_a_time = summary();
    else
      EXPECT_EQ(summary(), one_at_a_time);
  }
}

}  // namespace
