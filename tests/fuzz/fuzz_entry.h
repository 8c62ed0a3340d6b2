// The two fuzz entry points, shared by the libFuzzer targets and the replay test:
// arbitrary frames into the packet handler, and arbitrary savefiles through the
// file run and its report. Each call starts from a clean process state.
#pragma once

#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Both inputs carry eight bytes that choose the settings, decoded into a command
// line that start-up accepts (byte 0 bit 0: --decode-all; bit 1: a live run; bits
// 2-3: the -d level; bit 4: -R; bit 5: -T; bits 6-7: -P, -C or -S; bytes 1 to 7: -n,
// -s, -D and -c, -V and -m, -x and -X, -y and -Y, then -I, the port and the filter
// words). All zero is "-p 80" alone.
constexpr size_t SETTINGS_BYTES = 8;

// The frames input's link byte: bits 0-2 choose the link type (LINK_TYPES: those
// --decode-all reads, Ethernet twice), bit 3 says the capture came from a host of
// the other byte order. Without --decode-all a run refuses all but the first two;
// here their frames still reach the decoder, which must drop them.
constexpr int LINK_TYPES[] = {DLT_EN10MB, DLT_NULL, DLT_LINUX_SLL, DLT_LINUX_SLL2,
                              DLT_RAW,    DLT_IPV4, DLT_IPV6,      DLT_EN10MB};
constexpr uint8_t LINK_SWAPPED = 0x08;

// The command line that eight settings bytes stand for (without the program name).
std::vector<std::string> settings_args(const uint8_t* settings);

// Frames input: the settings bytes, the link byte, the first packet's seconds (4
// bytes, big endian, signed), then records of a 6-byte header and the frame's bytes. The
// header: the captured length (2 bytes, big endian; cut to what is left), a signed
// step of seconds from the previous packet (1 byte), a control byte (0x80: the step
// is in units of 2^25 seconds, about a year; 0x40: a wire length shorter than the
// captured one; 0x20: a longer one; 0x10: negative microseconds), and the
// microseconds / 16 (2 bytes, big endian). After the last frame the records still
// open and the last interval row are written, then the report (and, for an input
// whose length is a multiple of 4, the JSON report too). Both entry points write
// connection records and interval rows to /dev/null.
// Returns the connections the run counted.
int64_t run_frames(const uint8_t* data, size_t size);

// A whole savefile, classic or pcapng, read from memory. A classic savefile's
// settings bytes are its header's time-zone and accuracy fields (bytes 8 to 15),
// which libpcap ignores; any other file runs with "-p 80". The file is run twice,
// read by libpcap alone and then with the fast reader where the run allows it, and
// the two runs must print the same bytes (a difference stops the fuzzer like a
// crash).
// The same file is run a third time as a capture set of one file read from a
// stream in pieces (the fast reader handing over to libpcap on the same
// decompressed stream), which must print the same bytes too. A file whose first
// bytes say it is compressed runs as a set alone, its settings those of the
// savefile it decompresses to; when it decompresses cleanly, the run must print what
// libpcap prints for the decompressed bytes.
// Returns the connections the fast run counted.
int64_t run_savefile(const uint8_t* data, size_t size);

// What a file run printed and how it ended.
struct RunText {
  std::string out;
  std::string err;
  int status = 0;
};

// One file run in this process over a savefile in memory, with this command line
// (without -r, which is added): read by libpcap alone, or with the fast reader where
// the run allows it.
// The run's own checks (see run_savefile) hold after it; `counted`, when given,
// receives the connections it counted. It writes connection records and interval
// rows (to /dev/null) unless `records` is false: a quiet file run of one port then
// deals its clients between two trackers.
RunText run_savefile_once(const uint8_t* data, size_t size, const std::vector<std::string>& args,
                          bool libpcap_only, int64_t* counted = nullptr, bool records = true);

// One run of a capture set in memory (see run_memory_set), with this command line;
// its files are read in reads of `chunk` bytes and named "fuzz.pcap" and on.
RunText run_set_once(const std::vector<std::vector<uint8_t>>& files,
                     const std::vector<std::string>& args, size_t chunk);

// Standard output goes to /dev/null and the time zone is UTC, so that the traces and
// reports cost no terminal and give the same results everywhere.
void quiet_process();

}  // namespace fuzz
