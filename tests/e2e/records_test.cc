// Connection records, interval rows and the JSON report, end to end: captures built
// from connections described by what happens to them, the real binary, and what it
// wrote read back with a CSV reader and a JSON parser, never compared as text but
// field by field, against what the capture holds and against the text report of the
// same run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "testlib/files.h"
#include "testlib/capture_builder.h"
#include "testlib/connections.h"
#include "testlib/rows.h"
#include "testlib/runner.h"

using namespace testlib;
// Keys in the order they were written, which the schema fixes.
using Json = nlohmann::ordered_json;

namespace {

using testlib::read_file;

std::string capture_of(const std::string& name, const std::vector<Packet>& packets) {
  const std::string path = scratch_dir() + "/" + name + ".pcap";
  write_pcap(path, packets);
  return path;
}

// ---------------------------------------------------------------------------
// Records of a capture with connections in every state, against the connections
// the capture was built from.

// A connection of the capture and the record it must leave.
struct Expected {
  Conn conn;
  const char* state;
  bool counted;
};

std::vector<Expected> every_state() {
  std::vector<Expected> v;
  Conn c;
  c.fin_at = 250700, c.client_bytes = 501, c.server_bytes = 3001, c.answer_at = 290700;
  v.push_back({c, "completed", true});
  c = Conn{};  // the server closes first, after a retried SYN
  c.client = "10.0.0.3", c.port = 4000, c.start = 10000, c.syns = 2, c.synack_at = 1700;
  c.fin_at = 15300, c.client_fin_first = false, c.client_bytes = 101, c.server_bytes = 201;
  c.answer_at = 20300;
  v.push_back({c, "completed", true});
  c = Conn{};  // an RST from the client after the handshake
  c.client = "10.0.0.4", c.port = 4001, c.start = 20000, c.rst_at = 9000;
  v.push_back({c, "reset", false});
  c = Conn{};  // the server refuses the SYN
  c.client = "10.0.0.5", c.port = 4002, c.start = 30000, c.synack_at = -1, c.rst_at = 400;
  c.rst_from_server = true;
  v.push_back({c, "reset", false});
  c = Conn{};  // never answered
  c.client = "10.0.0.6", c.port = 4003, c.start = 40000, c.syns = 3, c.synack_at = -1;
  v.push_back({c, "unanswered", false});
  c = Conn{};  // established, five SYN-ACKs, no FIN
  c.client = "10.0.0.7", c.port = 4004, c.start = 50000, c.synacks = 5;
  v.push_back({c, "open", false});
  c = Conn{};  // one FIN at the end
  c.client = "10.0.0.8", c.port = 4005, c.start = 60000, c.fin_at = 100000;
  c.client_bytes = 7000, c.server_bytes = 30000;
  v.push_back({c, "closing", true});
  c = Conn{};  // an RST after the first FIN: measured and counted, not a reset
  c.client = "10.0.0.9", c.port = 4006, c.start = 70000, c.fin_at = 20000, c.rst_at = 30000;
  c.rst_from_server = true, c.client_bytes = 40, c.server_bytes = 900;
  v.push_back({c, "completed", true});
  c = Conn{};  // more than the -X limit from the server: measured, not counted
  c.client = "10.0.0.10", c.port = 4007, c.start = 80000, c.fin_at = 600, c.answer_at = 700;
  c.client_bytes = 1, c.server_bytes = 64000;
  v.push_back({c, "completed", false});
  c = Conn{};  // open, then the client reuses its port for a new connection...
  c.client = "10.0.0.11", c.port = 4008, c.start = 90000;
  v.push_back({c, "replaced", false});
  c.start = 400000, c.client_isn = 5000, c.server_isn = 7000, c.synacks = 2;  // ...which completes
  c.fin_at = 30000, c.answer_at = 31000, c.client_bytes = 11, c.server_bytes = 22;
  v.push_back({c, "completed", true});
  return v;
}

const std::vector<std::string> LIMIT = {"-X", "60000"};

std::optional<std::string> text(long long v) { return std::to_string(v); }
std::optional<std::string> text(const char* v) { return std::string(v); }

// The record the capture's connection must leave, from what the capture holds.
Row record_of(const Expected& e) {
  const Conn& c = e.conn;
  const long long start = BASE_SEC * 1000000LL + c.start;
  const long long answered = c.start + (c.syns - 1) * 1000LL;  // the last SYN
  const bool replaced = std::string(e.state) == "replaced";
  const bool fin = c.fin_at >= 0 && !replaced;
  Row r;
  r["client"] = c.client;
  r["client_port"] = text(c.port);
  r["server"] = text("10.0.0.2");
  r["server_port"] = text(80);
  r["start_us"] = text(start);
  r["syns"] = text(c.syns);
  r["synacks"] = text(c.synack_at < 0 ? 0 : c.synacks);
  r["handshake_us"] =
      c.synack_at < 0 ? std::nullopt : text(c.start + c.synack_at - answered);
  r["state"] = text(e.state);
  r["closed_by"] = !fin ? std::nullopt : text(c.client_fin_first ? "client" : "server");
  const bool reset_ends_it = c.rst_at >= 0;
  r["reset_by"] = !reset_ends_it ? std::nullopt : text(c.rst_from_server ? "server" : "client");
  // An RST before any FIN (these carry no ACK) gives its sender's bytes; the
  // server's need the ISN of its SYN-ACK.
  const bool reset_first = reset_ends_it && !fin && std::string(e.state) == "reset";
  const bool client_known = fin || (reset_first && !c.rst_from_server);
  const bool server_known = fin || (reset_first && c.rst_from_server && c.synack_at >= 0);
  r["client_bytes"] = client_known ? text(c.client_bytes) : std::nullopt;
  r["server_bytes"] = server_known ? text(c.server_bytes) : std::nullopt;
  r["duration_us"] = fin ? text(c.start + c.fin_at - answered) : std::nullopt;
  r["fin_to_fin_us"] = c.answer_at >= 0 ? text(c.answer_at - c.fin_at) : std::nullopt;
  r["counted"] = text(e.counted ? "true" : "false");
  return r;
}

std::string key_of(const Row& r) {
  return r.at("client").value_or("") + ":" + r.at("client_port").value_or("") + "@" +
         r.at("start_us").value_or("");
}

TEST(Records, EveryStateAsTheCaptureHoldsIt) {
  const std::vector<Expected> expected = every_state();
  std::vector<Conn> conns;
  for (const Expected& e : expected) conns.push_back(e.conn);
  const std::string capture = capture_of("every_state", packets_of(conns));
  for (const char* ending : {".csv", ".jsonl", ".ndjson", ".JSON"}) {
    SCOPED_TRACE(ending);
    const std::string records = scratch_dir() + "/every_state" + ending;
    std::vector<std::string> args = {"-p", "80", "--conns", records, "-r", capture};
    args.insert(args.begin(), LIMIT.begin(), LIMIT.end());
    const RunResult r = run_portsift(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The text report is printed as without --conns.
    const RunResult plain = run_portsift({"-X", "60000", "-p", "80", "-r", capture});
    EXPECT_EQ(r.out, plain.out);

    std::string error;
    const std::string contents = read_file(records);
    const std::vector<Row> rows = std::string(ending) == ".csv"
                                      ? read_csv_rows(contents, &error)
                                      : read_json_rows(contents, &error);
    ASSERT_EQ(error, "");
    std::map<std::string, Row> by_key;
    for (const Row& row : rows) by_key[key_of(row)] = row;
    ASSERT_EQ(rows.size(), expected.size());
    ASSERT_EQ(by_key.size(), expected.size()) << "two records of one connection";
    for (const Expected& e : expected) {
      const Row want = record_of(e);
      SCOPED_TRACE(key_of(want));
      ASSERT_EQ(by_key.count(key_of(want)), 1u);
      const Row& got = by_key[key_of(want)];
      ASSERT_EQ(got.size(), 16u);
      for (const auto& [field, value] : want) EXPECT_EQ(got.at(field), value) << field;
    }
    EXPECT_EQ(records_disagree_with_report(rows, r.out), "") << r.out;
  }
}

// With --decode-all the same connections over IPv6, beside their IPv4 twins on
// other client ports, leave the same records with IPv6 addresses in RFC 5952 text:
// the record keeps its server's address for as long as it needs it, whatever else
// the run lets go of.
TEST(Records, Ipv6ConnectionsAsTheirIpv4Twins) {
  const std::vector<Expected> expected = every_state();
  std::vector<Conn> v4, v6;
  for (const Expected& e : expected) {
    v4.push_back(e.conn);
    v4.back().port = static_cast<uint16_t>(v4.back().port + 10000);
    v6.push_back(e.conn);
  }
  std::vector<Packet> packets = packets_of(v4);
  const std::vector<Packet> packets6 = packets_of(over_ipv6(v6));
  packets.insert(packets.end(), packets6.begin(), packets6.end());
  std::stable_sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) {
    return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
  });
  const std::string capture = capture_of("both_families", packets);
  const std::string records = scratch_dir() + "/both_families.csv";
  std::vector<std::string> args = {"--decode-all", "-p", "80", "--conns", records, "-r", capture};
  args.insert(args.begin(), LIMIT.begin(), LIMIT.end());
  const RunResult r = run_portsift(args);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string error;
  const std::vector<Row> rows = read_csv_rows(read_file(records), &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(rows.size(), 2 * expected.size());
  std::map<std::string, Row> by_key;
  for (const Row& row : rows) by_key[key_of(row)] = row;
  for (const Expected& e : expected) {
    Row want = record_of(e);
    want["client"] = ipv6_of(*want["client"]);
    want["server"] = ipv6_of(*want["server"]);
    SCOPED_TRACE(key_of(want));
    ASSERT_EQ(by_key.count(key_of(want)), 1u);
    for (const auto& [field, value] : want) EXPECT_EQ(by_key[key_of(want)].at(field), value) << field;
  }
  EXPECT_EQ(records_disagree_with_report(rows, r.out), "") << r.out;
}

// Records leave when the connections leave: in the order of the packets that end
// them, and those still there at the end after every other.
TEST(Records, StreamOutAsConnectionsLeave) {
  const std::vector<Expected> expected = every_state();
  std::vector<Conn> conns;
  for (const Expected& e : expected) conns.push_back(e.conn);
  const std::string capture = capture_of("order", packets_of(conns));
  const std::string records = scratch_dir() + "/order.csv";
  ASSERT_EQ(run_portsift({"-p", "80", "--conns", records, "-r", capture}).status, 0);
  std::string error;
  const std::vector<Row> rows = read_csv_rows(read_file(records), &error);
  ASSERT_EQ(error, "");
  std::vector<std::string> order;
  for (const Row& row : rows) order.push_back(*row.at("client") + "/" + *row.at("state"));
  // Ends, by time: 10.0.0.4 reset at 29 ms, 10.0.0.3 answered at 30.3 ms, 10.0.0.5
  // refused at 30.4 ms, 10.0.0.10 at 80.7 ms, 10.0.0.9 reset at 100 ms, 10.0.0.1 at
  // 290.7 ms, 10.0.0.11 replaced at 400.5 ms and its successor at 431 ms; then the
  // rest.
  const std::vector<std::string> leaving = {
      "10.0.0.4/reset",      "10.0.0.3/completed", "10.0.0.5/reset",
      "10.0.0.10/completed", "10.0.0.9/completed", "10.0.0.1/completed",
      "10.0.0.11/replaced",  "10.0.0.11/completed"};
  ASSERT_GE(order.size(), leaving.size());
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + leaving.size()), leaving);
}

// A second SYN-ACK with another ISN for an established connection: its record
// counts the server's bytes from the ISN that established it, as the report does,
// and the JSON report's percentiles follow it.
TEST(Records, StraySynAckKeepsTheServersBytes) {
  std::vector<Packet> packets = {
      at(BASE_SEC, 0, syn(1000)),
      at(BASE_SEC, 3500, synack(9000, 1001)),
      at(BASE_SEC, 10000, synack(2000000000, 1001)),
      at(BASE_SEC, 250700, client_fin(1501, 12001)),
      at(BASE_SEC, 290700, server_fin(12001, 1502)),
  };
  const std::string capture = capture_of("stray", packets);
  const RunResult r = run_portsift({"-p", "80", "--conns", "-", "-r", capture});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string error;
  const std::vector<Row> rows = read_csv_rows(r.out, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(*rows[0].at("server_bytes"), "3001");
  EXPECT_EQ(*rows[0].at("client_bytes"), "501");
  EXPECT_EQ(*rows[0].at("synacks"), "2");
  const RunResult json = run_portsift({"-p", "80", "--json", "-r", capture});
  ASSERT_EQ(json.status, 0) << json.err;
  const auto report = nlohmann::json::parse(json.out)["ports"][0];
  EXPECT_EQ(report["summary"]["avg_server_bytes"], 3001);
  EXPECT_EQ(report["percentiles"]["server_bytes"]["max"], 3001);
}

// ---------------------------------------------------------------------------
// Interval rows: events placed in the interval of their packets, the table's state
// at each end, and the last, partial interval.

TEST(Intervals, RowsOfAKnownCapture) {
  // Handshakes under 128 us, which the percentiles' histogram holds exactly.
  Conn a;  // handshake 100 us; counted at 150 ms; gone at 160 ms
  a.synack_at = 100, a.fin_at = 150000, a.answer_at = 160000;
  Conn b;  // a retried SYN at 51 ms, answered after 80 us; reset at 300 ms
  b.client = "10.0.0.3", b.start = 50000, b.syns = 2, b.synack_at = 1080, b.rst_at = 250000;
  Conn c;  // never answered
  c.client = "10.0.0.4", c.start = 120000, c.synack_at = -1;
  Conn d;  // answered after 120 us, open to the end
  d.client = "10.0.0.5", d.start = 210000, d.synack_at = 120;
  const std::string capture = capture_of("intervals", packets_of({a, b, c, d}));
  const std::string rows_file = scratch_dir() + "/intervals.csv";
  const RunResult r = run_portsift(
      {"-p", "80", "--interval", "0.1", "--intervals", rows_file, "-r", capture});
  ASSERT_EQ(r.status, 0) << r.err;
  // Intervals of 100 ms from the first packet; the last packet (b's RST, 300 ms)
  // ends the run and opens the last interval, which it ends at once.
  const std::string t0 = "1000000000", t1 = "1000100000", t2 = "1000200000", t3 = "1000300000";
  EXPECT_EQ(read_file(rows_file),
            "start_us,end_us,new_syns,retried_syns,counted,resets,unanswered_syns,open,"
            "handshakes,handshake_p50_us,handshake_p99_us,port,duration_p50_us,"
            "duration_p99_us,client_bytes,server_bytes,partial\n" +
                t0 + "," + t1 + ",2,1,0,0,0,2,2,90,99.8,80,,,0,0,false\n" +        //
                t1 + "," + t2 + ",1,0,1,0,1,1,0,,,80,150000,150000,1,1,false\n" +  //
                t2 + "," + t3 + ",1,0,0,0,1,2,1,120,120,80,,,0,0,false\n" +        //
                t3 + "," + t3 + ",0,0,0,1,1,1,0,,,80,,,0,0,true\n");
  // The last row's state is the report's.
  EXPECT_NE(r.out.find("Number of SYNs from incomplete connections: 1\n"), std::string::npos);
  EXPECT_NE(r.out.find("Number of established connections in progress: 1 "), std::string::npos);
}

// A capture whose timestamps jump years ahead does not write a row for every idle
// interval in between.
TEST(Intervals, AJumpInTimeWritesNoIdleRows) {
  Seg later = syn(5);
  later.sport = 6000;
  const std::string capture =
      capture_of("jump", {at(BASE_SEC, 0, syn(1)), at(BASE_SEC + 50000000, 0, later)});
  const std::string rows_file = scratch_dir() + "/jump.jsonl";
  const RunResult r = run_portsift(
      {"-p", "80", "--interval", "0.001", "--intervals", rows_file, "-r", capture});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string error;
  const std::vector<Row> rows = read_json_rows(read_file(rows_file), &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].at("start_us"), std::to_string((BASE_SEC + 50000000) * 1000000LL));
  EXPECT_EQ(rows[1].at("new_syns"), "1");
  EXPECT_EQ(rows[1].at("unanswered_syns"), "2");
}

// ---------------------------------------------------------------------------
// The JSON report: the text report's figures under the same settings, checked by
// parsing both.

// Connections in several buckets of every ordering, and in every state.
std::vector<Conn> mixed() {
  std::vector<Conn> v;
  for (const Expected& e : every_state()) v.push_back(e.conn);
  Conn c;
  c.client = "10.0.1.1", c.start = 500000, c.fin_at = 530000, c.answer_at = 531000;
  c.client_bytes = 2001, c.server_bytes = 50001;
  v.push_back(c);
  c.client = "10.0.1.2", c.start = 600000, c.fin_at = 1200000, c.answer_at = 1200500;
  v.push_back(c);
  return v;
}

// The number after `label` on the first line that starts with it.
std::optional<double> number_after(const std::string& text, const std::string& label) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, label.size(), label) == 0) return std::stod(line.substr(label.size()));
  return std::nullopt;
}

std::vector<std::vector<std::string>> raw_rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  const size_t first = out.find("===========\n");
  if (first == std::string::npos) return rows;
  std::istringstream in(out.substr(first + 12));
  for (std::string line; std::getline(in, line) && line != "===========";) {
    std::vector<std::string> fields;
    std::istringstream f(line);
    for (std::string field; std::getline(f, field, ',');) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// A raw field against a JSON value: empty is null, a number within `tolerance`.
void expect_field(const std::string& raw, const Json& value, const std::string& what,
                  double tolerance = 0) {
  if (raw.empty()) {
    EXPECT_TRUE(value.is_null()) << what << ": " << value;
  } else {
    ASSERT_TRUE(value.is_number()) << what << ": " << value;
    EXPECT_NEAR(std::stod(raw), value.get<double>(), tolerance) << what;
  }
}

TEST(JsonReport, SaysWhatTheTextReportSays) {
  const std::string capture = capture_of("json_mixed", packets_of(mixed()));
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* ordering;
  } cases[] = {
      {"duration", {}, "duration"},
      {"duration rtt", {"-T", "-n", "6", "-s", "50", "-D", "240"}, "duration"},
      {"throughput", {"-P", "-n", "8", "-s", "2"}, "throughput"},
      {"client bytes", {"-C", "-s", "1", "-y", "2048", "-D", "6"}, "client_bytes"},
      {"server bytes", {"-S", "-T", "-n", "7", "-s", "10", "-X", "60000"}, "server_bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-p", "80", "-r", capture});
    std::vector<std::string> raw_args = args;
    raw_args.insert(raw_args.begin(), "-R");
    std::vector<std::string> json_args = args;
    json_args.insert(json_args.begin(), "--json");
    const RunResult text = run_portsift(raw_args);
    const RunResult json = run_portsift(json_args);
    ASSERT_EQ(json.status, 0) << json.err;
    // Only the object on standard output; what the run prints besides goes to
    // standard error, as the text run prints it (the byte limits, the -T note).
    const size_t considering = text.out.find("Results of monitoring");
    EXPECT_EQ(json.err, text.out.substr(0, considering) + text.err);
    Json doc;
    ASSERT_NO_THROW(doc = Json::parse(json.out)) << json.out;
    // One port: the document's span is its port's, and its totals are the port's.
    EXPECT_EQ(doc["version"], 2);
    ASSERT_EQ(doc["ports"].size(), 1u);
    const Json j = doc["ports"][0];
    for (const char* key : {"seconds", "start", "end", "start_us", "end_us"})
      EXPECT_EQ(doc[key], j[key]) << key;
    EXPECT_EQ(doc["totals"]["connections"], j["summary"]["connections"]);
    EXPECT_EQ(doc["totals"]["syns"], j["summary"]["syns"]);
    EXPECT_EQ(doc["totals"]["resets"], j["summary"]["resets"]);
    EXPECT_TRUE(doc["unwatched"].is_null());

    EXPECT_EQ(j["version"], 2);
    EXPECT_EQ(j["port"], 80);
    EXPECT_DOUBLE_EQ(j["seconds"].get<double>(),
                     *number_after(text.out.substr(considering), "Results of monitoring port 80 for "));
    EXPECT_EQ(j["start"], "1970-01-01T00:16:40.000000Z");
    EXPECT_EQ(j["start_us"], BASE_SEC * 1000000LL);
    EXPECT_EQ(j["end_us"].get<long long>(), BASE_SEC * 1000000LL + 1800500);

    const Json& s = j["summary"];
    const struct {
      const char* key;
      const char* line;
    } summary[] = {
        {"connections", "Total Connections (terminated by FIN): "},
        {"avg_client_bytes", "Avg Client Data: "},
        {"avg_server_bytes", "Avg Server Data: "},
        {"avg_duration_ms", "Avg conn duration: "},
        {"avg_rtt_ms", "Avg Round Trip Time: "},
        {"syns", "Total number of SYNs: "},
        {"resets", "Connections terminated by RESET: "},
        {"syns_to_establish", "Number of SYNs taken to establish connections: "},
        {"dropped_by_server", "Number of unique connections dropped by the server: "},
        {"incomplete_syns", "Number of SYNs from incomplete connections: "},
        {"in_progress", "Number of established connections in progress: "},
        {"closing", "Number of connections in closing state: "},
    };
    for (const auto& line : summary)
      EXPECT_EQ(s[line.key].get<double>(), number_after(text.out, line.line)) << line.key;
    EXPECT_NE(text.out.find("(duplicates: " + s["duplicate_syns"].dump() + ")"), std::string::npos);
    EXPECT_NE(text.out.find("(" + s["maybe_discarded"].dump() + " may have been discarded"),
              std::string::npos);
    EXPECT_NEAR(s["avg_syns_to_establish"].get<double>(),
                *number_after(text.out, "Avg no. of SYNs to establish a connection: "), 0.005);
    std::string distribution;
    for (const Json& d : j["syn_distribution"])
      distribution += d["syns"].dump() + ":" + d["connections"].dump() + ",";
    EXPECT_NE(text.out.find("(nSYNs:nConns): " + distribution + "\n"), std::string::npos);

    // The table: each row's keys, and its figures against the raw row.
    const Json& t = j["table"];
    EXPECT_EQ(t["ordering"], c.ordering);
    const std::vector<std::vector<std::string>> raw = raw_rows(text.out);
    ASSERT_EQ(t["rows"].size(), raw.size());
    const bool duration_layout = std::string(c.ordering) == "duration";
    for (size_t i = 0; i < raw.size(); ++i) {
      SCOPED_TRACE("row " + std::to_string(i));
      const Json& row = t["rows"][i];
      std::vector<std::string> keys;
      for (const auto& item : row.items()) keys.push_back(item.key());
      EXPECT_EQ(keys, (std::vector<std::string>{"lo", "hi", "connections", "percent",
                                                "avg_client_bytes", "avg_server_bytes",
                                                "avg_duration_ms", "avg_rtt_ms",
                                                "avg_throughput_kbps"}));
      std::vector<std::string> f = raw[i];
      const bool last = i + 1 == raw.size();
      if (last) {  // "lo+" in place of "lo,hi"
        f[0].pop_back();
        f.insert(f.begin() + 1, "");
      }
      f.resize(10);  // the rows of empty buckets end early
      expect_field(f[0], row["lo"], "lo");
      expect_field(f[1], row["hi"], "hi");
      expect_field(f[2], row["connections"], "connections");
      f[3].pop_back();  // the % sign
      expect_field(f[3], row["percent"], "percent");
      expect_field(f[4], row["avg_client_bytes"], "client");
      expect_field(f[5], row["avg_server_bytes"], "server");
      expect_field(duration_layout ? f[6] : f[7], row["avg_rtt_ms"], "rtt");
      if (!duration_layout) expect_field(f[6], row["avg_duration_ms"], "duration");
      // The text divides in single precision (duration) or keeps the whole part of
      // the mean (bytes); the JSON value is the mean itself.
      if (std::string(c.ordering) != "throughput")
        expect_field(duration_layout ? f[7] : f[8], row["avg_throughput_kbps"], "throughput",
                     duration_layout ? 0.02 : 1.0);
    }

    // The -D listing, connection by connection.
    const size_t heading = text.out.find("Connections for which");
    if (j["listing"].is_null()) {
      EXPECT_EQ(heading, std::string::npos);
    } else {
      std::string listing;
      for (const Json& e : j["listing"]["connections"])
        listing += "host " + e["fin_from"].get<std::string>() + " and host " +
                   e["fin_to"].get<std::string>() + " and port " + e["client_port"].dump() + "\n";
      EXPECT_FALSE(j["listing"]["connections"].empty());
      ASSERT_NE(heading, std::string::npos);
      EXPECT_EQ(text.out.substr(text.out.find('\n', heading) + 1), listing);
    }
  }
}

// With --decode-all the listing holds IPv6 connections too, in the text's order and
// with the text's addresses.
TEST(JsonReport, ListingOfBothFamilies) {
  std::vector<Conn> v6 = over_ipv6(mixed());
  std::vector<Packet> packets = packets_of(mixed());
  const std::vector<Packet> packets6 = packets_of(v6);
  packets.insert(packets.end(), packets6.begin(), packets6.end());
  std::stable_sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) {
    return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
  });
  const std::string capture = capture_of("json_both_families", packets);
  const RunResult text = run_portsift({"--decode-all", "-D", "0", "-p", "80", "-r", capture});
  const RunResult json =
      run_portsift({"--json", "--decode-all", "-D", "0", "-p", "80", "-r", capture});
  ASSERT_EQ(json.status, 0) << json.err;
  Json doc;
  ASSERT_NO_THROW(doc = Json::parse(json.out)) << json.out;
  const Json& j = doc["ports"][0];
  std::string listing;
  size_t ipv6 = 0;
  for (const Json& e : j["listing"]["connections"]) {
    const std::string from = e["fin_from"].get<std::string>();
    ipv6 += from.find(':') != std::string::npos;
    listing += "host " + from + " and host " + e["fin_to"].get<std::string>() + " and port " +
               e["client_port"].dump() + "\n";
  }
  EXPECT_EQ(2 * ipv6, j["listing"]["connections"].size());
  const size_t heading = text.out.find("Connections for which");
  ASSERT_NE(heading, std::string::npos);
  EXPECT_EQ(text.out.substr(text.out.find('\n', heading) + 1), listing);
}

TEST(JsonReport, EmptyCaptureHasNoTimesAndNoRows) {
  const std::string capture = capture_of("json_empty", {});
  const RunResult r = run_portsift({"--json", "-p", "80", "-r", capture});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json doc = Json::parse(r.out);
  EXPECT_TRUE(doc["start"].is_null());
  const Json& j = doc["ports"][0];
  EXPECT_TRUE(j["start"].is_null());
  EXPECT_TRUE(j["end_us"].is_null());
  EXPECT_EQ(j["summary"]["connections"], 0);
  EXPECT_TRUE(j["summary"]["avg_syns_to_establish"].is_null());
  EXPECT_TRUE(j["table"]["rows"].empty());
  for (const auto& [name, p] : j["percentiles"].items()) {
    EXPECT_EQ(p["count"], 0) << name;
    EXPECT_TRUE(p["p99"].is_null()) << name;
  }
}

// ---------------------------------------------------------------------------
// Standard output for data: only the rows, no report; the other lines move to
// standard error.

TEST(Records, StandardOutputHoldsOnlyTheRows) {
  const std::string capture = capture_of("stdout", packets_of(mixed()));
  const RunResult text = run_portsift({"-x", "60000", "-c", "2", "-p", "80", "-r", capture});
  for (const char* option : {"--conns", "--intervals"}) {
    SCOPED_TRACE(option);
    std::vector<std::string> args = {"-x", "60000", "-c", "2", option, "-"};
    if (std::string(option) == "--intervals") args.insert(args.end(), {"--interval", "0.05"});
    args.insert(args.end(), {"-p", "80", "-r", capture});
    const RunResult r = run_portsift(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string error;
    const std::vector<Row> rows = read_csv_rows(r.out, &error);
    EXPECT_EQ(error, "") << r.out;
    EXPECT_FALSE(rows.empty());
    EXPECT_EQ(r.out.find("Results of monitoring"), std::string::npos);
    // The byte limit's line and the -c line, on standard error instead.
    EXPECT_EQ(r.err, text.out.substr(0, text.out.find("Results of monitoring")));
  }
}

// ---------------------------------------------------------------------------
// Files that cannot be written.

TEST(Records, FilesThatCannotBeWrittenAreRefused) {
  const std::string capture = capture_of("refused", packets_of(mixed()));
  RunResult r = run_portsift({"-p", "80", "--conns", "/nonexistent/dir/c.csv", "-r", capture});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "portsift: /nonexistent/dir/c.csv: No such file or directory\n");

  const std::string copy = scratch_dir() + "/refused_copy.pcap";
  std::filesystem::copy_file(capture, copy);
  r = run_portsift({"-p", "80", "--conns", copy, "--conns-format", "csv", "-r", copy});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "portsift: will not write " + copy + " over the capture file it reads\n");
  EXPECT_EQ(read_file(copy), read_file(capture));

  // A full disk: the report is still printed, the status says the file is not.
  r = run_portsift({"-p", "80", "--conns", "/dev/full", "--conns-format", "json", "-r", capture});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Total Connections"), std::string::npos);
  EXPECT_EQ(r.err, "portsift: error writing /dev/full\n");
}

}  // namespace
