// A continuous run's work besides its packets: the exposition published for scrapes
// and written to --metrics-file, records expired, and the record files reopened on
// SIGHUP, all between two dispatches of the capture loop.
#pragma once

#include <pcap/pcap.h>

#include <string>

#include "report/metrics_text.h"
#include "run/metrics_server.h"
#include "run/record_output.h"
#include "stats/run.h"

// What libpcap counted of the capture: nothing for a savefile.
CaptureFigures capture_figures(pcap_t* pcap);

// The exposition as it stands.
std::string current_metrics(const Run& run, pcap_t* pcap);

// Writes `text` to --metrics-file atomically: to PATH.tmp, then renamed over PATH,
// so that a reader (node_exporter's textfile collector) never sees half of it.
// False after printing why on the run's error stream.
bool write_metrics_file(const Run& run, const std::string& text);

// Lets go of the records past their time at `now` in every monitor, at most once a
// second of the run's time (see expire_records). Nothing without expiry.
void sweep_expired(Run& run, const Timeval& now);

class ServiceLoop {
 public:
  // How often the exposition is rendered for scrapes; a scrape sees it at most this
  // old (and, while no packet comes, up to the capture's read timeout older).
  static constexpr int64_t PUBLISH_US = 500000;
  // How often --metrics-file is written in a live run without --interval.
  static constexpr int64_t METRICS_FILE_US = 15000000;

  ServiceLoop(Run& run, pcap_t* pcap, RecordFiles& files, MetricsServer* server);

  // After every dispatch: whatever is due by the wall clock.
  void tick();

 private:
  void publish(int64_t now_us);

  Run& run_;
  pcap_t* pcap_;
  RecordFiles& files_;
  MetricsServer* server_;
  int64_t next_publish_us_ = 0;
  int64_t next_file_us_ = 0;
};
