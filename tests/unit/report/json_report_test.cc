// The JSON report over the worked example: its keys in their order, the same figures
// as the text report, the table, the -D listing, the records' percentiles, and null
// where the run has no time or a cell has no value.
#include "report/json_report.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "report/summary.h"
#include "stats/percentiles.h"
#include "stats/run_clock.h"
#include "track/records.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

using Json = nlohmann::ordered_json;

// The segment from or to the client's port `port` instead of 5555.
Seg on_port(Seg s, uint16_t port) {
  (s.sport == 5555 ? s.sport : s.dport) = port;
  return s;
}

class JsonReport : public TrackerTest {
 protected:
  // The worked example: 501 and 3001 bytes in 250 ms, a SYN never answered, and
  // with `answered` the server's FIN 40 ms after the client's.
  void example(bool answered = false) {
    RunClock& clock = run().clock;
    clock.start_time = Timeval{100, 0};
    clock.end_time = Timeval{102, 0};
    clock.window_start = Timeval{99, 0};
    clock.first_packet_seen = true;
    clock.packet_count = 4;
    feed(100, 0, syn(1000));
    feed(100, 3500, synack(9000, 1001));
    feed(100, 250700, client_fin(1501, 12001));
    if (answered) feed(100, 290700, server_fin(12001, 1502));
    feed(101, 0, on_port(syn(7000), 6000));
  }

  // Records leave the table into the percentiles, as the program keeps them for
  // the JSON report.
  void keep_records() {
    Monitor& m = monitor();
    records_start(m.records, m.table);
    m.records.sink = [&m](const ConnRecord& r) { percentiles_add(m.percentiles, r); };
  }

  Json report() {
    CapturedStream stream;
    write_json_report(run(), monitor(), stream.file());
    const std::string text = stream.take();
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << text;
    Json j;
    EXPECT_NO_THROW(j = Json::parse(text)) << text;
    return j;
  }

  std::string text_report() {
    CapturedStream stream;
    write_report(run(), monitor(), stream.file());
    return stream.take();
  }
};

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

TEST_F(JsonReport, TopLevelKeysInOrder) {
  example();
  const Json j = report();
  EXPECT_EQ(keys_of(j), (std::vector<std::string>{
                            "version", "port", "seconds", "start", "end", "start_us", "end_us",
                            "summary", "syn_distribution", "table", "listing", "percentiles"}));
  EXPECT_EQ(j["version"], JSON_REPORT_VERSION);
  EXPECT_EQ(j["port"], 80);
  EXPECT_EQ(j["seconds"], 3.0);  // from the window's start, as the text report
  EXPECT_EQ(j["start"], "1970-01-01T00:01:40.000000Z");
  EXPECT_EQ(j["end"], "1970-01-01T00:01:42.000000Z");
  EXPECT_EQ(j["start_us"], 100000000);
  EXPECT_EQ(j["end_us"], 102000000);
  EXPECT_EQ(j["syn_distribution"], Json::parse(R"([{"syns": 1, "connections": 1}])"));
  EXPECT_EQ(out(), "");  // nothing on the run's own streams
}

// A summary key, its value in the worked example with a repeated unanswered SYN and
// a reset connection, and the pattern of the text report's figure for it (its first
// group).
struct Figure {
  const char* key;
  double value;
  const char* text;
};

// clang-format off
const Figure FIGURES[] = {
    {"connections",           1,    R"(Total Connections \(terminated by FIN\): (\d+))"},
    {"avg_client_bytes",      501,  R"(Avg Client Data: (\d+) bytes)"},
    {"avg_server_bytes",      3001, R"(Avg Server Data: (\d+) bytes)"},
    {"avg_duration_ms",       250,  R"(Avg conn duration: (\d+) msecs)"},
    {"avg_rtt_ms",            0,    R"(Avg Round Trip Time: (\d+) msecs)"},
    {"syns",                  4,    R"(Total number of SYNs: (\d+) )"},
    {"duplicate_syns",        1,    R"(\(duplicates: (\d+)\))"},
    {"resets",                1,    R"(Connections terminated by RESET: (\d+))"},
    {"refused",               0,    nullptr},  // no line of its own: among the resets
    {"syns_to_establish",     1,    R"(Number of SYNs taken to establish connections: (\d+))"},
    {"avg_syns_to_establish", 1,    R"(Avg no\. of SYNs to establish a connection: +([\d.]+))"},
    {"dropped_by_server",     1,    R"(Number of unique connections dropped by the server: (\d+))"},
    {"incomplete_syns",       2,    R"(Number of SYNs from incomplete connections: (\d+))"},
    {"in_progress",           1,    R"(Number of established connections in progress: (\d+))"},
    {"maybe_discarded",       0,    R"(\((\d+) may have been discarded by the client\))"},
    {"closing",               1,    R"(Number of connections in closing state: (\d+))"},
};
// clang-format on

TEST_F(JsonReport, SummaryHasTheTextReportsFigures) {
  example();
  feed(101, 500000, on_port(syn(7000), 6000));
  feed(101, 600000, on_port(syn(8000), 7000));
  feed(101, 700000, on_port(client_rst(8001), 7000));
  const Json summary = report()["summary"];
  const std::string text = text_report();
  std::vector<std::string> keys;
  for (const Figure& f : FIGURES) {
    SCOPED_TRACE(f.key);
    keys.push_back(f.key);
    ASSERT_TRUE(summary.contains(f.key)) << summary.dump();
    EXPECT_EQ(summary[f.key].get<double>(), f.value);
    if (f.text == nullptr) continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(f.text))) << text;
    EXPECT_EQ(std::stod(m[1]), f.value);
  }
  EXPECT_EQ(keys_of(summary), keys);  // no other key, in this order
}

// Refused: the server's RST answering a SYN that had no SYN-ACK. A client giving up
// on its SYN, or a reset after the handshake, is a reset and no more.
TEST_F(JsonReport, RefusedAmongTheResets) {
  feed(100, 0, on_port(syn(1000), 6001));
  feed(100, 100, on_port(server_rst(0), 6001));
  feed(100, 200, on_port(syn(2000), 6002));
  feed(100, 300, on_port(client_rst(2001), 6002));
  feed(100, 400, on_port(syn(3000), 6003));
  feed(100, 500, on_port(synack(9000, 3001), 6003));
  feed(100, 600, on_port(server_rst(9001), 6003));
  const Json summary = report()["summary"];
  EXPECT_EQ(summary["resets"], 3);
  EXPECT_EQ(summary["refused"], 1);
}

TEST_F(JsonReport, NullAverageOfSynsWithoutConnections) {
  feed(100, 0, syn(1000));
  const Json summary = report()["summary"];
  EXPECT_EQ(summary["connections"], 0);
  EXPECT_EQ(summary["avg_client_bytes"], 0);  // the text report's 0
  EXPECT_TRUE(summary["avg_syns_to_establish"].is_null());
  EXPECT_EQ(summary["dropped_by_server"], 1);
}

TEST_F(JsonReport, TableRows) {
  example();
  // Two more: one in the example's bucket, with 251 more server bytes (a throughput
  // term of 14 to the example's 13), and one of 50 ms.
  feed(100, 0, on_port(syn(1000), 6001));
  feed(100, 3500, on_port(synack(9000, 1001), 6001));
  feed(100, 250700, on_port(client_fin(1501, 12252), 6001));
  feed(100, 0, on_port(syn(1000), 6002));
  feed(100, 3500, on_port(synack(9000, 1001), 6002));
  feed(100, 50700, on_port(client_fin(1501, 12001), 6002));
  const Json table = report()["table"];
  EXPECT_EQ(keys_of(table), (std::vector<std::string>{"ordering", "unit", "bucket_size", "buckets",
                                                      "rtt_estimation", "rows"}));
  EXPECT_EQ(table["ordering"], "duration");
  EXPECT_EQ(table["unit"], "ms");
  EXPECT_EQ(table["bucket_size"], 20);
  EXPECT_EQ(table["buckets"], 20);
  const Json& rows = table["rows"];
  ASSERT_EQ(rows.size(), 21u);  // the overflow row after twenty buckets
  EXPECT_EQ(rows[0], Json::parse(R"({"lo": 0, "hi": 20, "connections": 0, "percent": 0.0,
      "avg_client_bytes": null, "avg_server_bytes": null, "avg_duration_ms": null,
      "avg_rtt_ms": null, "avg_throughput_kbps": null})"));
  EXPECT_EQ(rows[2], Json::parse(R"({"lo": 40, "hi": 60, "connections": 1, "percent": 33.33,
      "avg_client_bytes": 501, "avg_server_bytes": 3001, "avg_duration_ms": 50,
      "avg_rtt_ms": null, "avg_throughput_kbps": 68.0})"));
  EXPECT_EQ(rows[12], Json::parse(R"({"lo": 240, "hi": 260, "connections": 2, "percent": 66.67,
      "avg_client_bytes": 501, "avg_server_bytes": 3126, "avg_duration_ms": 250,
      "avg_rtt_ms": null, "avg_throughput_kbps": 13.5})"));
  EXPECT_EQ(rows[20]["lo"], 400);
  EXPECT_TRUE(rows[20]["hi"].is_null());
  for (size_t i = 0; i + 1 < rows.size(); ++i) EXPECT_EQ(rows[i]["hi"], 20 * (i + 1)) << i;
  // The text report's rows, for the same figures.
  const std::string text = text_report();
  for (const char* row :
       {"\n   40 - 60           1(33.33%)      501      3001       -       68.00\n",
        "\n  240 - 260          2(66.67%)      501      3126       -       13.50\n"})
    EXPECT_NE(text.find(row), std::string::npos) << row << text;
}

TEST_F(JsonReport, NoRowsWhenNothingWasCounted) {
  feed(100, 0, syn(1000));
  feed(100, 3500, synack(9000, 1001));
  const Json table = report()["table"];
  EXPECT_EQ(table["rows"], Json::array());
  EXPECT_EQ(table["buckets"], 20);  // the layout is still told
}

struct RttCase {
  const char* name;
  std::vector<std::string> options;
  bool host_is_client;  // 10.0.0.1 is one of this host's addresses
  bool answered;
  bool estimation;
  int summary_rtt;
  Json row_rtt;  // bucket 12's
};

TEST_F(JsonReport, RoundTripsOnlyWhileEstimationIsOn) {
  const RttCase cases[] = {
      {"Off", {}, false, false, false, 0, nullptr},
      // The answering FIN gives a round trip to the sums, but without estimation
      // the table shows none, as the text table shows "-".
      {"OffButAnswered", {}, false, true, false, 40, nullptr},
      {"On", {"-T"}, false, false, true, 3, 3},
      // A SYN-ACK to this host switched estimation on during the run.
      {"SwitchedOn", {}, true, false, true, 3, 3},
  };
  for (const RttCase& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.options);
    if (c.host_is_client) run().host.v4.insert(IpAddr{ip("10.0.0.1")});
    example(c.answered);
    const Json j = report();
    EXPECT_EQ(j["summary"]["avg_rtt_ms"], c.summary_rtt);
    EXPECT_EQ(j["table"]["rtt_estimation"], c.estimation);
    EXPECT_EQ(j["table"]["rows"][12]["avg_rtt_ms"], c.row_rtt);
    EXPECT_TRUE(j["table"]["rows"][0]["avg_rtt_ms"].is_null());  // no connections there
  }
}

TEST_F(JsonReport, ListingOnlyWithDashD) {
  const struct {
    std::vector<std::string> options;
    const char* listing;
  } cases[] = {
      {{}, "null"},
      {{"-D", "240"},
       R"({"from": 240, "to": 260, "connections":
           [{"fin_from": "10.0.0.1", "fin_to": "10.0.0.2", "client_port": 5555}]})"},
      // From the overflow bucket on, the range is open upwards.
      {{"-D", "400"}, R"({"from": 400, "to": null, "connections": []})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listing);
    start(c.options);
    example();
    EXPECT_EQ(report()["listing"], Json::parse(c.listing));
  }
}

TEST_F(JsonReport, PercentilesOfTheCountedRecords) {
  // Without records the keys are there, with nothing counted.
  example();
  const Json none = report()["percentiles"];
  EXPECT_EQ(keys_of(none), (std::vector<std::string>{"duration_us", "handshake_us", "fin_to_fin_us",
                                                     "client_bytes", "server_bytes"}));
  for (const auto& item : none.items())
    EXPECT_EQ(item.value(), Json::parse(R"({"count": 0, "p50": null, "p90": null, "p99": null,
        "p999": null, "max": null})"))
        << item.key();

  // Two connections alike but for their handshakes, of 10 and 13 us; a SYN never
  // answered is not counted.
  start();
  keep_records();
  RunClock& clock = run().clock;
  clock.start_time = Timeval{100, 0};
  clock.end_time = Timeval{101, 0};
  clock.window_start = Timeval{99, 0};
  clock.first_packet_seen = true;
  for (uint16_t port : {5555, 6000}) {
    feed(100, 0, on_port(syn(1000), port));
    feed(100, port == 5555 ? 10 : 13, on_port(synack(9000, 1001), port));
    feed(100, 250700, on_port(client_fin(1501, 12001), port));
    feed(100, 290700, on_port(server_fin(12001, 1502), port));
  }
  feed(101, 0, on_port(syn(7000), 7000));
  records_flush_table(monitor().records, monitor().table);
  const Json p = report()["percentiles"];
  EXPECT_EQ(p, Json::parse(R"({
      "duration_us": {"count": 2, "p50": 250700, "p90": 250700, "p99": 250700,
                      "p999": 250700, "max": 250700},
      "handshake_us": {"count": 2, "p50": 11.5, "p90": 12.7, "p99": 12.97, "p999": 12.997,
                       "max": 13},
      "fin_to_fin_us": {"count": 2, "p50": 40000, "p90": 40000, "p99": 40000, "p999": 40000,
                        "max": 40000},
      "client_bytes": {"count": 2, "p50": 501, "p90": 501, "p99": 501, "p999": 501, "max": 501},
      "server_bytes": {"count": 2, "p50": 3001, "p90": 3001, "p99": 3001, "p999": 3001,
                       "max": 3001}})"))
      << p.dump(2);
  // Whole numbers are written as integers, like the records they summarise; the
  // others to twelve digits (p99 is 12.969999999999999 before).
  EXPECT_TRUE(p["duration_us"]["p50"].is_number_integer());
  EXPECT_TRUE(p["handshake_us"]["p50"].is_number_float());
}

TEST_F(JsonReport, FileWithoutPacketsHasNoTimes) {
  // The fixture's run reads a file, and no packet came.
  ASSERT_FALSE(run().clock.first_packet_seen);
  const Json j = report();
  for (const char* key : {"start", "end", "start_us", "end_us"})
    EXPECT_TRUE(j[key].is_null()) << key << ": " << j[key];
  EXPECT_EQ(j["seconds"], 0.0);
  EXPECT_EQ(j["summary"]["connections"], 0);
  EXPECT_EQ(j["table"]["rows"], Json::array());
  EXPECT_EQ(j["syn_distribution"], Json::array());
}

TEST_F(JsonReport, TimesInUtcOrNullWhenTheyCannotBeWritten) {
  // Another zone than the fixture's: the times are UTC whatever TZ says.
  setenv("TZ", "XYZ-5", 1);
  tzset();
  const struct {
    Timeval time;
    Json text;
  } cases[] = {
      {{0, 0}, "1970-01-01T00:00:00.000000Z"},  // the epoch is a time, once a packet came
      {{1709646310, 512000}, "2024-03-05T13:45:10.512000Z"},
      {{1709646310, 1000000}, nullptr},  // a damaged timestamp's microseconds
      {{INT64_MAX, 0}, nullptr},         // beyond any year gmtime() can tell
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.dump());
    run().clock.first_packet_seen = true;
    run().clock.start_time = c.time;
    run().clock.end_time = c.time;
    const Json j = report();
    EXPECT_EQ(j["start"], c.text);
    EXPECT_EQ(j["end"], c.text);
  }
  setenv("TZ", "UTC", 1);
  tzset();
}

}  // namespace
