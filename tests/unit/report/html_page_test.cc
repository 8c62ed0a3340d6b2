// The page: whole and self-contained, its figures those of the summary, its text
// escaped, and its size bounded whatever the run's scale.
#include "report/html_page.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "report/headline.h"
#include "stats/run_clock.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

class HtmlPage : public TrackerTest {
 protected:
  // Every bounded part of a port's page at its bound: a timeline of many rows, a
  // full bytes density, the slowest list and the clients list full of the longest
  // addresses, percentiles over many values.
  void fill_to_the_bounds(Monitor& m) {
    PageFigures& p = m.page;
    for (int i = 0; i < 5000; ++i) {
      IntervalRow row;
      row.start_us = 100000000 + int64_t{i} * 1000000;
      row.end_us = row.start_us + 1000000;
      row.new_syns = 123456789;
      row.retried_syns = 1234567;
      row.counted = 123456789 + static_cast<uint64_t>(i);
      row.resets = 7654321;
      row.handshakes = 99999;
      row.handshake_p50_us = 123456.789;
      row.handshake_p99_us = 987654.321;
      page_add_interval(p, row);
    }
    for (auto& column : p.bytes_density)
      for (uint64_t& cell : column) cell = 1234567890;
    for (int i = 0; i < 40; ++i) {
      SlowConnection c;
      c.client = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
      c.server = c.client;
      c.client_port = c.server_port = 65535;
      c.duration_us = 4000000000 + i;
      c.start_us = 100000000;
      c.syns = 99;
      p.slowest.push_back(c);
    }
    for (int i = 0; i < 1000; ++i)
      p.clients["ffff:ffff:ffff:ffff:ffff:ffff:ffff:" + std::to_string(1000 + i)] =
          ClientTrouble{123456789, 123456789, 123456789};
    for (uint64_t v = 1; v < (uint64_t{1} << 40); v = v * 3 + 1) {
      m.percentiles.duration_us.add(v);
      m.percentiles.handshake_us.add(v);
      m.percentiles.client_bytes.add(v);
      m.percentiles.server_bytes.add(v);
    }
    for (uint64_t syns = 1; syns <= 300; ++syns) m.syn_dist[syns] = 123456789;
  }

  void set_span() {
    RunClock& clock = run().clock;
    clock.start_time = Timeval{100, 0};
    clock.end_time = Timeval{5100, 0};
    clock.window_start = Timeval{99, 0};
    clock.first_packet_seen = true;
    clock.packet_count = 4;
  }
};

constexpr size_t PAGE_LIMIT = 2 * 1000 * 1000;

TEST_F(HtmlPage, StaysUnderTheLimitWithEveryPortAtItsBounds) {
  start({"--html", "page.html", "-p", "any"});
  set_span();
  for (uint16_t port = 1; port <= 1024; ++port) {
    Monitor* m = add_monitor(run(), port);
    ASSERT_NE(m, nullptr);
    fill_to_the_bounds(*m);
    m->totals.nconns = 1000000 + port;
  }
  const std::string page = html_page(run());
  EXPECT_LT(page.size(), PAGE_LIMIT);
  // The busiest ports have their sections; every port its overview row.
  size_t sections = 0, rows = 0;
  for (size_t at = 0; (at = page.find("<section class=\"port\"", at)) != std::string::npos; ++at)
    ++sections;
  for (size_t at = 0; (at = page.find("<tr data-port=", at)) != std::string::npos; ++at) ++rows;
  EXPECT_EQ(sections, HTML_DETAILED_PORTS);
  EXPECT_EQ(rows, 1024u);
  EXPECT_NE(page.find("id=\"port-1024\""), std::string::npos);  // most connections first
}

TEST_F(HtmlPage, OnePortAtItsBoundsIsSmall) {
  start({"--html", "page.html"});
  set_span();
  fill_to_the_bounds(monitor());
  const std::string page = html_page(run());
  EXPECT_LT(page.size(), PAGE_LIMIT / 4);
  EXPECT_LE(monitor().page.timeline.size(), PageFigures::MAX_POINTS);
}

TEST_F(HtmlPage, SelfContained) {
  start({"--html", "page.html"});
  set_span();
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  const std::string page = html_page(run());
  EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none'"), std::string::npos);
  // Nothing that runs or fetches.
  for (const char* banned : {"<script", "<link", "<iframe", "http://", "https://", "url("})
    EXPECT_EQ(page.find(banned), std::string::npos) << banned;
}

// The cards carry the summary's figures as exact values.
TEST_F(HtmlPage, CardsHoldTheHeadlineFigures) {
  start({"--html", "page.html"});
  set_span();
  Monitor& m = monitor();
  m.totals.nconns = 30;
  m.totals.refused = 2;
  m.totals.resets = 5;
  m.totals.dup_syns = 7;
  for (uint64_t v : {13, 15, 20, 11}) m.percentiles.handshake_us.add(v);
  const std::string page = html_page(run());
  const auto value = [&](const std::string& figure) {
    std::smatch match;
    const std::regex card("data-figure=\"" + figure + "\" data-value=\"([^\"]*)\"");
    return std::regex_search(page, match, card) ? match[1].str() : std::string("missing");
  };
  EXPECT_EQ(value("completed"), "30");
  EXPECT_EQ(value("refused"), "2");
  EXPECT_EQ(value("reset"), "3");  // the resets that were not refusals
  EXPECT_EQ(value("repeated_syns"), "7");
  EXPECT_EQ(value("handshake_max"), "20");
  EXPECT_EQ(value("handshake_p50"), "14");
  EXPECT_EQ(value("duration_p50"), "");  // nothing measured
}

}  // namespace
