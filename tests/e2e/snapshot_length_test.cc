// Header-only captures: the bundled capture cut to the snapshot lengths people take
// for connection analysis gives exactly the report of the whole capture, because
// every figure comes from sequence numbers, flags and the IPv4 total length.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/runner.h"

using namespace testlib;

namespace {

// Rewrites `in` with every record cut to `snaplen` bytes (the wire length kept) and
// the file's snapshot length set to it, as tcpdump -s would have written it.
void cut_capture(const std::string& in, const std::string& out, int snaplen) {
  int dlt = 0;
  std::vector<Packet> packets = read_pcap(in, &dlt);
  pcap_t* dead = pcap_open_dead(dlt, snaplen);
  ASSERT_NE(dead, nullptr);
  pcap_dumper_t* dumper = pcap_dump_open(dead, out.c_str());
  ASSERT_NE(dumper, nullptr);
  for (Packet& p : packets) {
    pcap_pkthdr h = header_of(p);
    h.caplen = std::min<bpf_u_int32>(h.caplen, static_cast<bpf_u_int32>(snaplen));
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, p.data.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
}

// Every report form whose text does not show captured lengths.
const std::vector<std::vector<std::string>> FORMS = {
    {},
    {"-d", "-R", "-T", "-C", "-s", "1"},
    {"-P", "-D", "0", "-c", "1", "-V", "1"},
};

TEST(SnapshotLength, CutCapturesReportLikeTheWholeOne) {
  const std::string dir = scratch_dir();
  for (const auto& form : FORMS) {
    std::vector<std::string> args = {"-p", "8080", "-r", DEMO_PCAP};
    args.insert(args.end(), form.begin(), form.end());
    const RunResult whole = run_portsift(args);
    ASSERT_EQ(whole.status, 0);
    if (form.empty()) {
      ASSERT_NE(whole.out.find("Total Connections (terminated by FIN): 30"), std::string::npos)
          << whole.out;
    }
    for (int snaplen : {54, 60, 64, 68, 74, 80, 96}) {
      const std::string cut = dir + "/cut" + std::to_string(snaplen) + ".pcap";
      cut_capture(DEMO_PCAP, cut, snaplen);
      args[3] = cut;
      const RunResult r = run_portsift(args);
      EXPECT_EQ(r.out, whole.out) << "-s " << snaplen << " " << ::testing::PrintToString(form);
      EXPECT_EQ(r.err, whole.err);
      EXPECT_EQ(r.status, 0);
      args[3] = DEMO_PCAP;
    }
  }
}

// A record that claims more bytes than the file's snapshot length reaches us cut to
// that length by libpcap, and is handled like any other.
TEST(SnapshotLength, RecordLongerThanTheFilesSnapshotLength) {
  const std::string dir = scratch_dir();
  Seg s = syn(1000);
  s.tcp_opts = 20;  // a modern SYN: 74 bytes of headers
  Seg a = synack(9000, 1001);
  a.tcp_opts = 20;
  const std::vector<Packet> packets = {at(100, 0, s), at(100, 3500, a),
                                       at(100, 250700, client_fin(1501, 12001)),
                                       at(100, 290700, server_fin(12001, 1502))};
  const std::string whole = dir + "/whole.pcap", lying = dir + "/lying.pcap";
  write_pcap(whole, packets);
  write_pcap(lying, packets);
  // The snapshot length in the file header (offset 16) says 60 bytes, the records
  // hold up to 74.
  std::FILE* f = std::fopen(lying.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  const uint32_t snaplen = 60;
  std::fseek(f, 16, SEEK_SET);
  std::fwrite(&snaplen, sizeof snaplen, 1, f);
  std::fclose(f);
  const RunResult expected = run_portsift({"-p", "80", "-r", whole});
  ASSERT_NE(expected.out.find("Total Connections (terminated by FIN): 1\n"), std::string::npos);
  const RunResult r = run_portsift({"-p", "80", "-r", lying});
  EXPECT_EQ(r.out, expected.out);
  EXPECT_EQ(r.err, expected.err);
  EXPECT_EQ(r.status, 0);
}

}  // namespace
