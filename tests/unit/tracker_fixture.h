// Starts every test from a clean process state (a file run on Ethernet, port 80,
// twenty 20-ms buckets), hands segments straight to the handlers, and collects
// what the run printed in buffers instead of on the process's own streams.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
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
#include "track/conn_table.h"
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

  static Segment segment(int64_t sec, int64_t usec, const testlib::Seg& s) {
    Segment seg;
    seg.time = Timeval{sec, usec};
    seg.src = Endpoint{IpAddr{testlib::ip(s.src)}, s.sport};
    seg.dst = Endpoint{IpAddr{testlib::ip(s.dst)}, s.dport};
    seg.seq = s.seq;
    seg.ack = s.ack;
    seg.flags = s.flags;
    return seg;
  }

  // The segment goes to the handler its flags choose (an RST first, then a SYN with
  // or without ACK, then a FIN), as the packet loop hands it on.
  static void feed(int64_t sec, int64_t usec, const testlib::Seg& s) {
    const Segment seg = segment(sec, usec, s);
    if (s.flags & testlib::RST)
      handle_close(seg, true, 0);
    else if (s.flags & testlib::SYN)
      (s.flags & testlib::ACK) ? handle_synack(seg) : handle_syn(seg);
    else if (s.flags & testlib::FIN)
      handle_close(seg, false, static_cast<uint32_t>(s.payload));
  }

  static const ConnInfo* client(const std::string& addr = "10.0.0.1", uint16_t port = 5555) {
    return conn_find(Endpoint{IpAddr{testlib::ip(addr)}, port});
  }

 private:
  std::unique_ptr<testlib::CapturedStream> out_, err_;
};
