// A packet source: a live interface or a capture file opened through libpcap, its
// framing, and its capture filter installed; and what is said of it when it ends.
#pragma once

#include <pcap/pcap.h>

#include <cstdio>
#include <string>

#include "common/settings.h"
#include "common/trace.h"
#include "run/capture_filter.h"
#include "stats/run.h"
#include "track/decode.h"

struct Source {
  pcap_t* pcap = nullptr;
  pcap_dumper_t* dumper = nullptr;  // write mode only
  LinkInfo link;                    // the source's framing
  bool offline = false;             // a capture file
  // A live capture whose program is longer than the kernel takes runs a broader one
  // in the kernel and this one on what that passes (install_filter).
  FilterProgram user_filter;

  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source();  // closes what is still open, without a word
};

// Opens the -r file, or the live interface `device` (snapshot length, buffer and
// timeouts of a live run). Prints libpcap's warning and goes on, or its error and
// returns false.
bool open_source(const Settings& s, const RunOutput& output, const char* device, Source* src);

// Takes over a savefile handle opened elsewhere (tests and fuzz targets read from
// memory).
void adopt_savefile(pcap_t* pcap, Source* src);

// How the frames of an open handle are framed, for the settings' decoder.
LinkInfo link_of(pcap_t* pcap, const Settings& s);

// Whether the run can decode frames of this link type; when not, prints why (and,
// where a person reads it, the option that would read them) and returns false.
bool link_usable(const Run& run, const LinkInfo& link);

// Installs the capture filter on the open source, with the mask of `interface`
// (none: a zero mask), and checks its link type: 0, or 1 after printing why the
// source cannot be used.
int prepare_source(Run& run, Source& src, const char* interface);

// Prints the capture statistics (a live capture has them) and closes the capture.
void end_capture(Run& run, Source& src);

// A source that ended in an error still gets its report or its savefile, but not in
// silence: the user learns that the packets stop where the error happened. Nothing
// when it read to its end. `interface` names a live source.
void warn_read_error(const Run& run, const char* interface);

// The same warning for the capture file `name`, which ended with `error`: one of a
// capture set's files, or the -r file.
void warn_file_read_error(const Run& run, const std::string& name, const char* error);

// When a link type was refused that --decode-all reads, and standard error is a
// terminal, says so: a person learns of the option, a script sees the refusal
// exactly as it always was.
void print_link_hint(FILE* err, bool err_is_terminal, const Settings& s, int dlt);

// After a file run in which no packet passed the capture filter although the file
// held packets (`file_had_packets`), and only when standard error is a terminal: one
// line that names --decode-all, since the usual cause is traffic in a framing only
// that option reads (IPv6, VLAN tags). Scripts see the run exactly as it always was.
void print_no_match_hint(FILE* err, bool err_is_terminal, const Run& run, bool stopped,
                         bool file_had_packets);

// The watched ports as -p names them: "80", "80,443,8000-8010", "any".
std::string ports_text(const Settings& s);
// The same in a sentence: "port 80", "ports 80,443", "any port".
std::string ports_phrase(const Settings& s);

// Whether the savefile holds anything past the headers libpcap has read: records,
// or at least bytes that claim to be. Standard input and files in memory cannot
// tell, and say no.
bool savefile_has_records(pcap_t* pcap);
