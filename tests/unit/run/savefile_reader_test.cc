// The savefile reader against libpcap: on every file it accepts to the end, it must
// hand over exactly libpcap's records; on anything it refuses, libpcap must indeed
// do something the reader does not reproduce, and the records handed over before the
// refusal must still be libpcap's. With the native filter, it must pass what
// pcap_loop() passes with the compiled filter installed.
#include "testlib/files.h"
#include "run/savefile_reader.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "track/port_filter.h"

using namespace testlib;

namespace {

// One record as a reader hands it over.
struct Record {
  int64_t sec, usec;
  uint32_t caplen, len;
  std::vector<uint8_t> data;
  bool operator==(const Record& o) const {
    return sec == o.sec && usec == o.usec && caplen == o.caplen && len == o.len && data == o.data;
  }
};

std::string describe(const Record& r) {
  return std::to_string(r.sec) + "." + std::to_string(r.usec) + " caplen " +
         std::to_string(r.caplen) + " len " + std::to_string(r.len);
}

Record record_of(const pcap_pkthdr& h, const uint8_t* data) {
  return Record{static_cast<int64_t>(h.ts.tv_sec), static_cast<int64_t>(h.ts.tv_usec), h.caplen,
                h.len, std::vector<uint8_t>(data, data + h.caplen)};
}

// What libpcap makes of a savefile held in memory.
struct LibpcapRun {
  bool opened = false;
  int dlt = 0;
  bool swapped = false;
  int snapshot = 0;
  std::vector<Record> records;
  bool clean_end = false;  // pcap_next_ex() ended the file without an error
  std::string error;
};

LibpcapRun run_libpcap(const std::vector<uint8_t>& file) {
  LibpcapRun run;
  // fmemopen() refuses an empty buffer; libpcap sees an empty file as a short header.
  std::vector<uint8_t> copy = file;
  if (copy.empty()) return run;
  char errbuf[PCAP_ERRBUF_SIZE];
  FILE* stream = fmemopen(copy.data(), copy.size(), "rb");
  pcap_t* pcap = pcap_fopen_offline(stream, errbuf);
  if (pcap == nullptr) {
    std::fclose(stream);  // on success the handle owns it
    run.error = errbuf;
    return run;
  }
  run.opened = true;
  run.dlt = pcap_datalink(pcap);
  run.swapped = pcap_is_swapped(pcap) == 1;
  run.snapshot = pcap_snapshot(pcap);
  pcap_pkthdr* h;
  const u_char* data;
  int rc;
  while ((rc = pcap_next_ex(pcap, &h, &data)) == 1) run.records.push_back(record_of(*h, data));
  run.clean_end = rc == PCAP_ERROR_BREAK;
  if (rc == PCAP_ERROR) run.error = pcap_geterr(pcap);
  pcap_close(pcap);
  return run;
}

struct ReaderRun {
  SavefileStatus open_status = SavefileStatus::OK;
  SavefileFormat format;
  std::vector<Record> records;
  SavefileStatus end_status = SavefileStatus::OK;
  uint64_t offset = 0;
};

// The reader on the same bytes, from memory (each byte in a heap block of exactly
// the file's length) or from a file, with a buffer of about `buffer` bytes.
ReaderRun run_reader(const std::vector<uint8_t>& file, size_t buffer, const char* path = nullptr) {
  ReaderRun run;
  SavefileReader reader(buffer);
  std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size()]);
  std::copy(file.begin(), file.end(), exact.get());
  run.open_status =
      path != nullptr ? reader.open(path) : reader.open_bytes(exact.get(), file.size());
  if (run.open_status != SavefileStatus::OK) return run;
  run.format = reader.format();
  pcap_pkthdr h;
  const uint8_t* data;
  SavefileStatus status;
  while ((status = reader.next(&h, &data)) == SavefileStatus::OK)
    run.records.push_back(record_of(h, data));
  run.end_status = status;
  run.offset = reader.offset();
  return run;
}

// The reader's run must be libpcap's, or a refusal of something libpcap does not
// do as the reader would; `what` names the case in messages. Returns how the
// reader's run ended (the refusal of the file header, or of a record, or END).
SavefileStatus expect_agreement(const std::vector<uint8_t>& file, size_t buffer,
                                const std::string& what, const char* path = nullptr) {
  SCOPED_TRACE(what + ", buffer " + std::to_string(buffer) + (path ? ", from a file" : ""));
  const LibpcapRun lib = run_libpcap(file);
  const ReaderRun got = run_reader(file, buffer, path);
  if (got.open_status != SavefileStatus::OK) {
    // A header the reader turns down: libpcap fails on it or reads it in a way the
    // reader does not (other versions, snapshot lengths, magic numbers).
    EXPECT_NE(got.open_status, SavefileStatus::END);
    if (got.open_status == SavefileStatus::SHORT_FILE_HEADER) {
      EXPECT_FALSE(lib.opened);
    }
    return got.open_status;
  }
  EXPECT_TRUE(lib.opened) << lib.error;
  if (!lib.opened) return got.end_status;
  EXPECT_EQ(got.format.link_type, lib.dlt);
  EXPECT_EQ(got.format.swapped, lib.swapped);
  EXPECT_EQ(static_cast<int>(got.format.snaplen), lib.snapshot);
  // What was handed over is libpcap's, record for record, up to the end or the
  // refusal.
  EXPECT_LE(got.records.size(), lib.records.size());
  for (size_t i = 0; i < got.records.size() && i < lib.records.size(); ++i) {
    if (got.records[i] == lib.records[i]) continue;
    ADD_FAILURE() << "record " << i << ": " << describe(got.records[i]) << ", libpcap "
                  << describe(lib.records[i]);
    break;
  }
  switch (got.end_status) {
    case SavefileStatus::END:
      EXPECT_TRUE(lib.clean_end) << lib.error;
      EXPECT_EQ(got.records.size(), lib.records.size());
      EXPECT_EQ(got.offset, file.size());
      break;
    case SavefileStatus::TRUNCATED_RECORD:
      // libpcap hands over the same records, then fails on the cut one.
      EXPECT_FALSE(lib.clean_end);
      EXPECT_EQ(got.records.size(), lib.records.size());
      EXPECT_NE(lib.error.find("truncated dump file"), std::string::npos) << lib.error;
      break;
    case SavefileStatus::OVERSIZED_RECORD:
      // libpcap cuts the record to the snapshot length (a record the reader would
      // have to invent) or fails on it.
      EXPECT_TRUE(lib.records.size() > got.records.size() || !lib.clean_end);
      if (lib.records.size() > got.records.size()) {
        EXPECT_EQ(lib.records[got.records.size()].caplen, got.format.snaplen);
      }
      break;
    default:
      ADD_FAILURE() << "ended with " << savefile_status_name(got.end_status);
  }
  return got.end_status;
}

// A classic savefile written field by field, so that any field can be forged.
struct FileHeader {
  uint32_t magic = 0xa1b2c3d4;
  uint16_t major = 2, minor = 4;
  uint32_t thiszone = 0, sigfigs = 0;
  uint32_t snaplen = 65535;
  uint32_t linktype = DLT_EN10MB;
};

struct RawRecord {
  uint32_t sec = 0, sub = 0, caplen = 0, len = 0;
  std::vector<uint8_t> data;
};

RawRecord raw(uint32_t sec, uint32_t sub, std::vector<uint8_t> data, uint32_t extra_len = 0) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  return RawRecord{sec, sub, n, n + extra_len, std::move(data)};
}

// In this host's order, or as a host of the other order writes it.
std::vector<uint8_t> savefile(const FileHeader& fh, const std::vector<RawRecord>& records,
                              bool other_order = false) {
  std::vector<uint8_t> b;
  const auto put32 = [&](uint32_t v) {
    if (other_order) v = __builtin_bswap32(v);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + 4);
  };
  const auto put16 = [&](uint16_t v) {
    if (other_order) v = __builtin_bswap16(v);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + 2);
  };
  put32(fh.magic);
  put16(fh.major);
  put16(fh.minor);
  put32(fh.thiszone);
  put32(fh.sigfigs);
  put32(fh.snaplen);
  put32(fh.linktype);
  for (const RawRecord& r : records) {
    put32(r.sec);
    put32(r.sub);
    put32(r.caplen);
    put32(r.len);
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  return b;
}

// A small connection's frames and a few odd ones, with varied timestamps.
std::vector<RawRecord> connection_records(Link link) {
  const std::vector<uint8_t> frames[] = {
      tcp_frame(link, syn(1000)),
      tcp_frame(link, synack(9000, 1001)),
      tcp_frame(link, client_fin(1, 2, 150)),
      tcp_frame(link, server_fin(2, 3)),
      tcp_frame(link, client_rst(5)),
      {},
      {0x01},
  };
  std::vector<RawRecord> out;
  uint32_t sec = 1700000000, sub = 0;
  for (const auto& frame : frames) {
    out.push_back(raw(sec, sub, frame, sub % 3 == 0 ? 1000 : 0));
    sec += 1;
    sub += 123457;
  }
  return out;
}


// Buffer sizes: the smallest (one record of the snapshot length), a little more,
// and the default; the small ones move records across refills at every alignment.
const size_t BUFFERS[] = {1, 300, 1031, SavefileReader::DEFAULT_BUFFER};

TEST(SavefileReader, ReadsWholeFilesAsLibpcapDoes) {
  struct Case {
    std::string name;
    std::vector<uint8_t> file;
  };
  std::vector<Case> cases;
  for (bool other_order : {false, true})
    for (Link link : {Link::ETHERNET, Link::LOOPBACK}) {
      const std::string order = other_order ? " other order" : "";
      FileHeader fh;
      fh.linktype = link == Link::ETHERNET ? DLT_EN10MB : DLT_NULL;
      fh.snaplen = 256;
      cases.push_back({"connection" + order, savefile(fh, connection_records(link), other_order)});
      cases.push_back({"header only" + order, savefile(fh, {}, other_order)});
      // Nanosecond stamps: libpcap divides by 1000 as signed numbers, unnormalised.
      fh.magic = 0xa1b23c4d;
      std::vector<RawRecord> ns;
      for (uint32_t sub : {0u, 999u, 1000u, 999999999u, 1000000000u, 0x7fffffffu, 0x80000000u,
                           0xfffffc18u, 0xffffffffu})
        ns.push_back(raw(0x80000000u + sub % 7, sub, tcp_frame(link, syn(sub))));
      cases.push_back({"nanoseconds" + order, savefile(fh, ns, other_order)});
      // Microsecond fields out of range and negative seconds are passed on as read.
      fh.magic = 0xa1b2c3d4;
      std::vector<RawRecord> us;
      for (uint32_t sub : {1000000u, 0x80000000u, 0xffffffffu})
        us.push_back(raw(0xffffffffu, sub, tcp_frame(link, syn(1))));
      cases.push_back({"odd microseconds" + order, savefile(fh, us, other_order)});
      // The time zone and accuracy fields are not used.
      fh.thiszone = 3600;
      fh.sigfigs = 7;
      cases.push_back({"time zone" + order, savefile(fh, connection_records(link), other_order)});
    }
  // Captured lengths at the snapshot length exactly and above the wire length.
  FileHeader small;
  small.snaplen = 60;
  std::vector<uint8_t> sixty(60, 0xab);
  cases.push_back({"caplen at snaplen", savefile(small, {raw(1, 2, sixty), raw(1, 3, {1, 2})})});
  RawRecord longer = raw(1, 2, sixty);
  longer.len = 10;
  cases.push_back({"caplen above len", savefile(small, {longer, raw(1, 3, sixty)})});
  // Every link type the reader knows, with libpcap's DLT value for it, and frames
  // that name CAN (protocol 0x000c) where the Linux cooked headers keep the protocol.
  std::vector<uint8_t> can = sixty;
  can[1] = can[15] = 0x0c;
  can[0] = can[14] = 0x00;
  for (uint32_t linktype : {0u, 1u, 101u, 113u, 228u, 229u, 276u})
    for (bool other_order : {false, true}) {
      // libpcap rewrites CAN frames of Linux cooked captures of the other order.
      if (other_order && (linktype == 113 || linktype == 276)) continue;
      FileHeader fh;
      fh.linktype = linktype;
      cases.push_back(
          {"link type " + std::to_string(linktype) + (other_order ? " other order" : ""),
           savefile(fh, {raw(5, 6, sixty), raw(5, 7, can)}, other_order)});
    }
  cases.push_back({"demo.pcap", testlib::read_bytes(DEMO_PCAP)});
  cases.push_back({"builder", pcap_bytes({at(100, 5, syn(1)), at(101, 7, synack(9, 2))})});

  char dir[] = "/tmp/savefile_reader_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const Case& c : cases) {
    // Files the reader must take whole: a refusal here would send every such run
    // back to libpcap.
    EXPECT_EQ(run_reader(c.file, SavefileReader::DEFAULT_BUFFER).end_status, SavefileStatus::END)
        << c.name;
    for (size_t buffer : BUFFERS) expect_agreement(c.file, buffer, c.name);
    const std::string path = std::string(dir) + "/capture.pcap";
    write_bytes(path, c.file);
    for (size_t buffer : {size_t{1}, SavefileReader::DEFAULT_BUFFER})
      expect_agreement(c.file, buffer, c.name, path.c_str());
    std::remove(path.c_str());
  }
  rmdir(dir);
}

TEST(SavefileReader, RefusesHeadersLibpcapTreatsItsOwnWay) {
  const std::vector<RawRecord> one = {raw(5, 6, tcp_frame(Link::ETHERNET, syn(1)))};
  const struct {
    const char* name;
    FileHeader header;
    SavefileStatus status;
  } cases[] = {
      {"pcapng", {0x0a0d0d0a}, SavefileStatus::UNKNOWN_MAGIC},
      {"modified format", {0xa1b2cd34}, SavefileStatus::UNKNOWN_MAGIC},
      {"garbage", {0x12345678}, SavefileStatus::UNKNOWN_MAGIC},
      {"version 2.3", {0xa1b2c3d4, 2, 3}, SavefileStatus::UNSUPPORTED_VERSION},
      {"version 2.2", {0xa1b2c3d4, 2, 2}, SavefileStatus::UNSUPPORTED_VERSION},
      {"version 2.5", {0xa1b2c3d4, 2, 5}, SavefileStatus::UNSUPPORTED_VERSION},
      {"version 543.0", {0xa1b2c3d4, 543, 0}, SavefileStatus::UNSUPPORTED_VERSION},
      {"version 1.4", {0xa1b2c3d4, 1, 4}, SavefileStatus::UNSUPPORTED_VERSION},
      {"snaplen 0", {0xa1b2c3d4, 2, 4, 0, 0, 0}, SavefileStatus::UNSUPPORTED_SNAPLEN},
      {"snaplen 262145", {0xa1b2c3d4, 2, 4, 0, 0, 262145}, SavefileStatus::UNSUPPORTED_SNAPLEN},
      {"snaplen 2^31-1", {0xa1b2c3d4, 2, 4, 0, 0, 0x7fffffff}, SavefileStatus::UNSUPPORTED_SNAPLEN},
      {"snaplen 2^32-1", {0xa1b2c3d4, 2, 4, 0, 0, 0xffffffff}, SavefileStatus::UNSUPPORTED_SNAPLEN},
      {"link type 147",
       {0xa1b2c3d4, 2, 4, 0, 0, 65535, 147},
       SavefileStatus::UNSUPPORTED_LINK_TYPE},
      {"link type 12", {0xa1b2c3d4, 2, 4, 0, 0, 65535, 12}, SavefileStatus::UNSUPPORTED_LINK_TYPE},
      {"FCS length bits",
       {0xa1b2c3d4, 2, 4, 0, 0, 65535, 0x14000001},
       SavefileStatus::UNSUPPORTED_LINK_TYPE},
      {"reserved bits",
       {0xa1b2c3d4, 2, 4, 0, 0, 65535, 0x00010001},
       SavefileStatus::UNSUPPORTED_LINK_TYPE},
  };
  for (const auto& c : cases)
    for (bool other_order : {false, true}) {
      const std::vector<uint8_t> file = savefile(c.header, one, other_order);
      EXPECT_EQ(run_reader(file, 1).open_status, c.status) << c.name << " " << other_order;
      expect_agreement(file, 1, c.name);
    }
  // Linux cooked captures of the other byte order: libpcap rewrites the identifier of
  // their CAN frames, in this host's order and in the other.
  std::vector<uint8_t> can(40);
  for (size_t i = 0; i < can.size(); ++i) can[i] = static_cast<uint8_t>(i);
  for (uint32_t linktype : {113u, 276u}) {
    FileHeader fh;
    fh.linktype = linktype;
    can[linktype == 113 ? 14 : 0] = 0x00;
    can[linktype == 113 ? 15 : 1] = 0x0c;
    const std::vector<uint8_t> swapped = savefile(fh, {raw(5, 6, can)}, true);
    EXPECT_EQ(run_reader(swapped, 1).open_status, SavefileStatus::UNSUPPORTED_LINK_TYPE);
    const LibpcapRun lib = run_libpcap(swapped);
    ASSERT_EQ(lib.records.size(), 1u);
    EXPECT_NE(lib.records[0].data, can) << "libpcap no longer rewrites CAN frames";
    EXPECT_EQ(run_reader(savefile(fh, {raw(5, 6, can)}), 1).end_status, SavefileStatus::END);
  }
  // The smallest files: libpcap cannot open them either.
  const std::vector<uint8_t> whole = savefile(FileHeader{}, one);
  for (size_t len = 0; len < 24; ++len) {
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(len));
    EXPECT_EQ(run_reader(cut, 1).open_status, SavefileStatus::SHORT_FILE_HEADER) << len;
    expect_agreement(cut, 1, "file header cut at " + std::to_string(len));
  }
}

TEST(SavefileReader, RefusesDamagedRecordsAfterHandingOverTheGoodOnes) {
  FileHeader fh;
  fh.snaplen = 128;
  const std::vector<uint8_t> frame = tcp_frame(Link::ETHERNET, syn(1));
  const struct {
    const char* name;
    uint32_t caplen;
    SavefileStatus status;
  } cases[] = {
      {"caplen above snaplen", 129, SavefileStatus::OVERSIZED_RECORD},
      {"caplen above libpcap's maximum", 262145, SavefileStatus::OVERSIZED_RECORD},
      {"caplen 2^31", 0x80000000u, SavefileStatus::OVERSIZED_RECORD},
      {"caplen 2^32-1", 0xffffffffu, SavefileStatus::OVERSIZED_RECORD},
  };
  for (const auto& c : cases)
    for (bool other_order : {false, true}) {
      RawRecord bad = raw(7, 8, std::vector<uint8_t>(200, 0xcd));
      bad.caplen = c.caplen;
      const std::vector<uint8_t> file =
          savefile(fh, {raw(5, 6, frame), raw(6, 7, frame), bad, raw(8, 9, frame)}, other_order);
      for (size_t buffer : BUFFERS) {
        const ReaderRun got = run_reader(file, buffer);
        EXPECT_EQ(got.end_status, c.status) << c.name;
        EXPECT_EQ(got.records.size(), 2u) << c.name;
        expect_agreement(file, buffer, c.name);
      }
    }
}

TEST(SavefileReader, FilesCutAnywhere) {
  FileHeader fh;
  fh.snaplen = 256;
  const std::vector<RawRecord> records = connection_records(Link::ETHERNET);
  for (bool other_order : {false, true}) {
    const std::vector<uint8_t> whole = savefile(fh, records, other_order);
    // Every cut through the last three records, and through the file header.
    size_t last_three = whole.size();
    for (size_t i = records.size() - 3; i < records.size(); ++i)
      last_three -= 16 + records[i].data.size();
    for (size_t len = 0; len <= whole.size(); ++len) {
      if (len >= 24 && len < last_three) continue;
      const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(len));
      for (size_t buffer : {size_t{1}, size_t{300}})
        expect_agreement(cut, buffer, "cut at " + std::to_string(len));
    }
  }
  // The bundled capture of real traffic, cut at random points.
  const std::vector<uint8_t> demo = testlib::read_bytes(DEMO_PCAP);
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    const size_t len = 24 + rng() % (demo.size() - 24);
    const std::vector<uint8_t> cut(demo.begin(), demo.begin() + static_cast<long>(len));
    expect_agreement(cut, BUFFERS[rng() % std::size(BUFFERS)],
                     "demo cut at " + std::to_string(len));
  }
}

// Random damage to record headers and data of a valid capture: whatever the reader
// does with it must be libpcap's reading or a refusal.
TEST(SavefileReader, DamagedRecordHeaders) {
  std::mt19937 rng(11);
  FileHeader fh;
  fh.snaplen = 256;
  const std::vector<RawRecord> records = connection_records(Link::LOOPBACK);
  std::map<SavefileStatus, int> endings;
  for (int i = 0; i < 4000; ++i) {
    const bool other_order = rng() & 1;
    std::vector<uint8_t> file = savefile(fh, records, other_order);
    for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k) {
      // Mostly the 16-byte record headers: the fields that steer the reading.
      size_t at = 24;
      const size_t target = rng() % records.size();
      for (size_t r = 0; r < target; ++r) at += 16 + records[r].data.size();
      at += rng() % 16;
      if (at >= file.size()) continue;
      file[at] = (rng() & 1) ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(file[at] + 1);
    }
    if (rng() % 4 == 0) file.resize(24 + rng() % (file.size() - 23));
    ++endings[expect_agreement(file, BUFFERS[rng() % std::size(BUFFERS)],
                               "damage " + std::to_string(i))];
    if (HasFailure()) break;
  }
  // Damage the reader takes in its stride, and both kinds of refusal, often.
  for (SavefileStatus s :
       {SavefileStatus::END, SavefileStatus::OVERSIZED_RECORD, SavefileStatus::TRUNCATED_RECORD})
    EXPECT_GT(endings[s], 200) << savefile_status_name(s);
}

TEST(SavefileReader, OpenRefusals) {
  SavefileReader missing;
  EXPECT_EQ(missing.open("/nonexistent/capture.pcap"), SavefileStatus::OPEN_FAILED);
  EXPECT_EQ(missing.error_number(), ENOENT);
  pcap_pkthdr h;
  const uint8_t* data;
  EXPECT_EQ(missing.next(&h, &data), SavefileStatus::OPEN_FAILED);

  SavefileReader directory;
  EXPECT_EQ(directory.open("/tmp"), SavefileStatus::NOT_REGULAR);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  SavefileReader pipe_reader;
  EXPECT_EQ(pipe_reader.open(("/proc/self/fd/" + std::to_string(fds[0])).c_str()),
            SavefileStatus::NOT_REGULAR);
  close(fds[0]);
  close(fds[1]);
}

std::string packet_text(const pcap_pkthdr& h, const u_char* data) {
  return std::to_string(h.ts.tv_sec) + "." + std::to_string(h.ts.tv_usec) + " " +
         std::to_string(h.len) + " " + std::string(data, data + h.caplen);
}

// The two pieces together, as a file run would use them: the packets pcap_loop()
// hands over with the filter installed are those the reader hands over and the
// native check passes, header and bytes.
TEST(SavefileReader, WithTheNativeFilterPassesWhatPcapLoopPasses) {
  const std::vector<uint8_t> demo = testlib::read_bytes(DEMO_PCAP);
  std::vector<Packet> packets;
  for (uint32_t i = 0; i < 40; ++i) {
    Seg s = i % 3 ? syn(i) : synack(i, i + 1);
    s.sport = static_cast<uint16_t>(i % 5 ? 5000 + i : 80);
    s.dport = static_cast<uint16_t>(i % 7 ? 80 : 6000);
    packets.push_back(at(100 + i, i, s, Link::LOOPBACK));
  }
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    uint16_t port;
  } captures[] = {
      {"demo.pcap", demo, 8080},
      {"loopback", pcap_bytes(packets, Link::LOOPBACK), 80},
      {"loopback other order", pcap_bytes_other_order(packets, Link::LOOPBACK), 80},
  };
  for (const auto& c : captures) {
    std::vector<uint8_t> copy = c.file;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_fopen_offline(fmemopen(copy.data(), copy.size(), "rb"), errbuf);
    ASSERT_NE(pcap, nullptr) << errbuf;
    bpf_program program;
    const std::string text = filter_text(FilterExpression::HANDSHAKE_AND_CLOSE, c.port);
    ASSERT_EQ(pcap_compile(pcap, &program, text.c_str(), 0, 0), 0);
    ASSERT_EQ(pcap_setfilter(pcap, &program), 0);
    pcap_freecode(&program);
    std::vector<std::string> expected;  // each packet's header fields and bytes
    pcap_loop(
        pcap, -1,
        [](u_char* user, const pcap_pkthdr* h, const u_char* data) {
          reinterpret_cast<std::vector<std::string>*>(user)->push_back(packet_text(*h, data));
        },
        reinterpret_cast<u_char*>(&expected));
    pcap_close(pcap);

    SavefileReader reader;
    ASSERT_EQ(reader.open_bytes(c.file.data(), c.file.size()), SavefileStatus::OK) << c.name;
    const std::optional<PortFilter> native =
        PortFilter::make(FilterExpression::HANDSHAKE_AND_CLOSE, c.port,
                         FilterSource{reader.format().link_type, reader.format().swapped});
    ASSERT_TRUE(native) << c.name;
    std::vector<std::string> got;
    pcap_pkthdr h;
    const uint8_t* data;
    SavefileStatus status;
    while ((status = reader.next(&h, &data)) == SavefileStatus::OK)
      if (native->matches(data, h.caplen, h.len)) got.push_back(packet_text(h, data));
    EXPECT_EQ(status, SavefileStatus::END) << c.name;
    EXPECT_GT(expected.size(), 10u) << c.name;
    EXPECT_TRUE(got == expected) << c.name << ": " << got.size() << " against " << expected.size();
  }
}

}  // namespace
