// Starts every test from a clean process state (a file run on Ethernet, port 80,
// twenty 20-ms buckets), hands segments straight to the handlers, and collects
// what the run printed in buffers instead of on the process's own streams.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/settings.h"
#include "common/trace.h"
#include "run/capture.h"
#include "run/process_state.h"
#include "stats/close.h"
#include "stats/run_stats.h"
#include "testlib/capture_builder.h"
#include "testlib/captured_stream.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/decode.h"
#include "track/handshake.h"

class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    reset_process_state();
    out_ = std::make_unique<testlib::CapturedStream>();
    err_ = std::make_unique<testlib::CapturedStream>();
    g_output.out = out_->file();
    g_output.err = err_->file();
    g_settings.port = 80;
    g_settings.nbuckets = 20;
    g_settings.bucket_size = 20;
    g_settings.filter_to = 19;
    ASSERT_TRUE(create_bucket_table(20));
    g_capture.link = LinkInfo{DLT_EN10MB, false};
    g_capture.offline = true;
  }
  void TearDown() override { reset_process_state(); }

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
    return d;
  }

  // The segment goes to the handler its flags choose (an RST first, then a SYN with
  // or without ACK, then a FIN), its addresses held meanwhile, as the packet loop
  // hands it on.
  static void feed(int64_t sec, int64_t usec, const testlib::Seg& s) {
    DecodedFrame d = decoded(sec, usec, s);
    hold_segment_addresses(&d);
    const Segment& seg = d.seg;
    if (s.flags & testlib::RST)
      handle_close(seg, true, 0);
    else if (s.flags & testlib::SYN)
      (s.flags & testlib::ACK) ? handle_synack(seg) : handle_syn(seg);
    else if (s.flags & testlib::FIN)
      handle_close(seg, false, static_cast<uint32_t>(s.payload));
    release_segment_addresses(seg);
  }

  static const ConnInfo* client(const std::string& addr = "10.0.0.1", uint16_t port = 5555) {
    if (!is_ipv6(addr)) return conn_find(Endpoint{IpAddr{testlib::ip(addr)}, port});
    // Numbered only for the lookup: an address no record holds is freed again.
    Ip6Addr bytes;
    const std::array<uint8_t, 16> a = testlib::ip6(addr);
    std::memcpy(bytes.bytes, a.data(), 16);
    const uint32_t n = pool_intern(bytes);
    const ConnInfo* rec = conn_find(Endpoint{IpAddr{n}, port, Family::IPV6});
    pool_release(n);
    return rec;
  }

 private:
  std::unique_ptr<testlib::CapturedStream> out_, err_;
};
