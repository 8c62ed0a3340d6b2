// Feeds frames straight to the packet handler, starting from a clean process state:
// a file run on Ethernet, port 80, twenty 20-ms buckets.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "run/capture.h"
#include "run/process_state.h"
#include "run/settings.h"
#include "stats/run_stats.h"
#include "testlib/capture_builder.h"
#include "track/conn_table.h"
#include "track/decode.h"

class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    reset_process_state();
    g_settings.port = 80;
    g_settings.nbuckets = 20;
    g_settings.bucket_size = 20;
    g_settings.filter_to = 19;
    ASSERT_TRUE(create_bucket_table(20));
    g_capture.link_type = 1;
    g_capture.offline = true;
  }
  void TearDown() override { reset_process_state(); }

  // The frame is copied into a buffer of exactly its captured length, so that
  // AddressSanitizer catches any read past it.
  static void feed(const testlib::Packet& p) {
    const pcap_pkthdr h = testlib::header_of(p);
    std::unique_ptr<u_char[]> exact(new u_char[p.data.size() + (p.data.empty() ? 1 : 0)]);
    if (!p.data.empty()) std::memcpy(exact.get(), p.data.data(), p.data.size());
    handle_packet(nullptr, &h, exact.get());
  }
  static void feed(int64_t sec, int64_t usec, const testlib::Seg& seg) {
    feed(testlib::at(sec, usec, seg));
  }

  static const ConnInfo* client(const std::string& addr = "10.0.0.1", uint32_t port = 5555) {
    return conn_find(testlib::ip(addr), port);
  }
};
