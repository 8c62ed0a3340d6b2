// Starts every test from a fresh run made as the program makes it (a file run on
// Ethernet, "-p 80" and the test's own options, read by the real command-line
// parser), hands segments to its monitor through the real dispatch, and collects
// what the run printed in buffers instead of on the process's own streams.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/settings.h"
#include "run/capture.h"
#include "run/command_line.h"
#include "run/packet_loop.h"
#include "stats/run.h"
#include "stats/tracker.h"
#include "testlib/argv.h"
#include "testlib/capture_builder.h"
#include "testlib/captured_stream.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/decode.h"
#include "track/segment_pool.h"

// (Inside a fixture gtest's Test::Run hides the type Run: it is ::Run here.)
class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    start();
  }

  // A new run of "portsift -p 80 -r capture.pcap" followed by `options`, as the
  // program reads that command line; what the last run printed is dropped.
  void start(const std::vector<std::string>& options = {}) {
    std::vector<std::string> words = {"portsift", "-p", "80", "-r", "capture.pcap"};
    words.insert(words.end(), options.begin(), options.end());
    testlib::Argv argv(words);
    Settings settings;
    const ParseResult parsed = parse_options(argv.argc(), argv.argv(), &settings);
    ASSERT_TRUE(parsed.run) << parsed.err;
    feed_.reset();
    run_.reset();
    out_ = std::make_unique<testlib::CapturedStream>();
    err_ = std::make_unique<testlib::CapturedStream>();
    run_ = std::make_unique<::Run>(settings, RunOutput{out_->file(), err_->file()});
    ASSERT_TRUE(add_monitors(*run_));
    run_->offline = true;
    feed_ = std::make_unique<PacketFeed>(*run_);
    feed_->link = LinkInfo{DLT_EN10MB, false, settings.decode_all};
  }

  ::Run& run() { return *run_; }
  Monitor& monitor() { return *run_->monitors.front(); }
  PacketFeed& packet_feed() { return *feed_; }

  // What the run printed since the last call: traces and -c lines, warnings.
  std::string out() { return out_->take(); }
  std::string err() { return err_->take(); }

  static bool is_ipv6(const std::string& addr) { return addr.find(':') != std::string::npos; }

  // The segment as the decoder leaves it: an IPv6 one's addresses not yet numbered.
  static DecodedFrame decoded(int64_t sec, int64_t usec, const testlib::Seg& s) {
    DecodedFrame d;
    Segment& seg = d.seg;
    seg.time = Timeval{sec, usec};
    if (is_ipv6(s.src)) {
      const std::array<uint8_t, 16> src = testlib::ip6(s.src), dst = testlib::ip6(s.dst);
      std::memcpy(d.src6.bytes, src.data(), 16);
      std::memcpy(d.dst6.bytes, dst.data(), 16);
      seg.src = Endpoint{IpAddr{}, s.sport, Family::IPV6};
      seg.dst = Endpoint{IpAddr{}, s.dport, Family::IPV6};
    } else {
      seg.src = Endpoint{IpAddr{testlib::ip(s.src)}, s.sport};
      seg.dst = Endpoint{IpAddr{testlib::ip(s.dst)}, s.dport};
    }
    seg.seq = s.seq;
    seg.ack = s.ack;
    seg.flags = s.flags;
    if (s.flags & testlib::RST)
      d.kind = SegmentKind::RESET;
    else if (s.flags & testlib::SYN)
      d.kind = (s.flags & testlib::ACK) ? SegmentKind::SYNACK : SegmentKind::SYN;
    else
      d.kind = SegmentKind::FIN;
    d.payload = s.flags & (testlib::RST | testlib::SYN) ? 0 : static_cast<uint32_t>(s.payload);
    return d;
  }

  // The segment goes to the handler its flags choose (an RST first, then a SYN with
  // or without ACK, then a FIN), its addresses held meanwhile, as the packet loop
  // hands it on.
  void feed(int64_t sec, int64_t usec, const testlib::Seg& s) {
    if ((s.flags & (testlib::RST | testlib::SYN | testlib::FIN)) == 0) return;  // no handler
    DecodedFrame d = decoded(sec, usec, s);
    hold_segment_addresses(run().pool, &d);
    dispatch_segment(monitor(), d);
    release_segment_addresses(run().pool, d.seg);
  }

  const ConnInfo* client(const std::string& addr = "10.0.0.1", uint16_t port = 5555) {
    ConnTable& table = monitor().table;
    if (!is_ipv6(addr)) return conn_find(table, Endpoint{IpAddr{testlib::ip(addr)}, port}).info;
    // Numbered only for the lookup: an address no record holds is freed again.
    Ip6Addr bytes;
    const std::array<uint8_t, 16> a = testlib::ip6(addr);
    std::memcpy(bytes.bytes, a.data(), 16);
    const uint32_t n = pool_intern(run().pool, bytes);
    const ConnInfo* rec = conn_find(table, Endpoint{IpAddr{n}, port, Family::IPV6}).info;
    pool_release(run().pool, n);
    return rec;
  }

 private:
  std::unique_ptr<testlib::CapturedStream> out_, err_;
  std::unique_ptr<::Run> run_;
  std::unique_ptr<PacketFeed> feed_;
};
