// The progress line of long file runs: when it appears, what it says, that it is
// erased, and that reading in batches hands over every packet as pcap_loop() does.
#include "run/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testlib/capture_builder.h"
#include "testlib/captured_stream.h"
#include "testlib/runner.h"

namespace {

const std::string ERASE = "\r\033[K";

struct Tick {
  double now;
  uint64_t packets;
  int64_t offset;
};

struct ProgressCase {
  const char* name;
  int64_t file_size;
  std::vector<Tick> ticks;  // the run starts at time 100
  std::string expected;     // written by the ticks and the finish
  size_t files = 0;         // a capture set of this many files (file_size their sum)
  const char* current = nullptr;
};

TEST(Progress, DrawsRefreshesAndErases) {
  const ProgressCase cases[] = {
      {"ShortRunShowsNothing", 1000, {{100.2, 1024, 300}, {100.99, 2048, 900}}, ""},
      {"FirstLineAfterOneSecond",
       1000,
       {{100.5, 1024, 100}, {101.0, 4096, 250}},
       ERASE + " 25% of the file read, 4096 matching packets, 4096/s" + ERASE},
      // A line on screen is redrawn at most every quarter second.
      {"RefreshedAQuarterSecondApart",
       1000,
       {{101.0, 1000, 100}, {101.2, 2000, 200}, {101.25, 2500, 500}},
       ERASE + " 10% of the file read, 1000 matching packets, 1000/s" + ERASE +
           " 50% of the file read, 2500 matching packets, 2000/s" + ERASE},
      {"UnknownSizeShowsNoShare",
       0,
       {{102.0, 3000, 123456}},
       ERASE + "3000 matching packets, 1500/s" + ERASE},
      {"FileThatGrewStopsAtAHundred",
       1000,
       {{101.0, 10, 5000}},
       ERASE + "100% of the file read, 10 matching packets, 10/s" + ERASE},
      // A set: the share of all its bytes, and the file being read by the last part
      // of its name, cut to keep the line within 80 columns.
      {"SetNamesTheFileBeingRead",
       4000,
       {{101.0, 2000, 1000}},
       ERASE + " 25% of 7 files read, at trace-0003.pcap.gz, 2000 packets, 2000/s" + ERASE,
       7,
       "/var/cap/trace-0003.pcap.gz"},
      {"SetCutsALongName",
       4000,
       {{102.0, 3000, 4000}},
       ERASE + "100% of 300 files read, at capture-eth0-2024-01, 3000 packets, 1500/s" + ERASE,
       300,
       "capture-eth0-2024-01-01T00:00:00.pcap.zst"},
  };
  for (const ProgressCase& c : cases) {
    testlib::CapturedStream screen;  // what the terminal would receive
    Progress p;
    progress_start(&p, screen.file(), c.file_size, 100.0);
    p.files = c.files;
    p.current = c.current;
    for (const Tick& t : c.ticks) progress_tick(&p, t.now, t.packets, t.offset);
    progress_finish(&p);
    EXPECT_EQ(screen.take(), c.expected) << c.name;
  }
}

TEST(Progress, NoTerminalNoOutput) {
  Progress p;
  progress_start(&p, nullptr, 1000, 0);
  progress_tick(&p, 5, 100, 500);
  EXPECT_FALSE(p.shown);
  progress_finish(&p);
}

TEST(Progress, WantedOnlyOnATerminalThatNothingElseWritesTo) {
  struct Case {
    bool err_tty, out_tty;
    int debug;
    uint64_t min_syns;
    int status_every;
    bool wanted;
  } cases[] = {
      {false, false, 0, 0, 0, false},  // a script or a test: never
      {false, true, 0, 0, 0, false},   // report on screen, errors to a file
      {true, true, 0, 0, 0, true},
      {true, false, 0, 0, 0, true},    // report redirected, screen shows progress
      {true, true, 1, 0, 0, false},    // traces go to the same screen
      {true, true, 0, 2, 0, false},    // -c lines
      {true, true, 0, 0, 500, false},  // -m status lines
      {true, false, 2, 2, 500, true},  // all of those go to the file
  };
  for (const Case& c : cases)
    EXPECT_EQ(progress_wanted(c.err_tty, c.out_tty, c.debug, c.min_syns, c.status_every), c.wanted)
        << c.err_tty << c.out_tty << c.debug << c.min_syns << c.status_every;
}

void count_packet(u_char* handled, const struct pcap_pkthdr*, const u_char*) {
  ++*reinterpret_cast<int*>(handled);
}

double g_fake_now = 0;
double half_second_steps() { return g_fake_now += 0.5; }

// Batches must not lose or repeat packets at their edges, nor count the ones the
// filter drops; the last line on screen reports the whole file, then is erased.
TEST(Progress, ReadInBatchesHandsOverEveryMatchingPacket) {
  using namespace testlib;
  std::vector<Packet> packets;
  const int syns = 2 * PROGRESS_BATCH + 7;
  for (int i = 0; i < syns; ++i) {
    Seg s = syn(static_cast<uint32_t>(i));
    s.sport = static_cast<uint16_t>(1024 + i);
    packets.push_back(at(100 + i / 1000, i % 1000, s));
    Seg data = s;
    data.flags = ACK;  // no SYN: filtered out
    packets.push_back(at(100 + i / 1000, i % 1000, data));
  }
  const std::string path = scratch_dir() + "/batches.pcap";
  write_pcap(path, packets);

  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
  ASSERT_NE(pcap, nullptr) << errbuf;
  struct bpf_program program;
  ASSERT_EQ(pcap_compile(pcap, &program, "tcp[tcpflags] & tcp-syn != 0", 0, 0), 0);
  ASSERT_EQ(pcap_setfilter(pcap, &program), 0);
  pcap_freecode(&program);

  testlib::CapturedStream screen;  // what the terminal would receive
  int handled = 0;
  g_fake_now = 0;
  EXPECT_EQ(read_savefile_in_batches(pcap, count_packet, reinterpret_cast<u_char*>(&handled),
                                     screen.file(), half_second_steps),
            0);
  EXPECT_EQ(handled, syns);
  // Started at 0.5; the batches end at 1.0 (too early), 1.5 and 2.0.
  const std::string text = screen.take();
  const std::string last = ERASE + "100% of the file read, 2055 matching packets, 1370/s" + ERASE;
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
  EXPECT_NE(text.find("2048 matching packets, 2048/s"), std::string::npos) << text;
  pcap_close(pcap);
}

}  // namespace
