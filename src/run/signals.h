// Signals: SIGINT, SIGALRM and, in a live run, SIGTERM ask the run in progress to
// stop; SIGHUP asks it to reopen its record files (logrotate). Their requests are
// the one process-wide record, since a signal handler can reach nothing else: two
// flags, and the libpcap handle whose loop the handler breaks.
#pragma once

#include <pcap/pcap.h>

// Whether a signal has asked the run to stop. It only ever changes from no to yes
// during a run.
bool stop_signalled();

// A new run: nothing asked yet, no handle to break.
void clear_stop_signal();

// The handle whose loop a signal breaks (pcap_breakloop()); nullptr before it is
// closed, so that a late signal never reaches a closed handle.
void break_on_signal(pcap_t* pcap);

// SIGINT and SIGALRM (and with `live` SIGTERM: a service is stopped with it) set the
// flag and break the loop; with `reopen`, SIGHUP asks for the record files to be
// reopened. Only async-signal-safe work in the handlers; the loop produces the
// report, flushes and closes the savefile, or reopens the files.
void install_signals(bool live = false, bool reopen = false);

// Whether SIGHUP came since the last call (which clears it).
bool take_reopen_request();

// Called once a live loop has ended. A later SIGINT, or the alarm still pending
// after a run ended by SIGINT, has nothing left to stop; held back, it cannot reach
// the handler while the capture is closed, nor end the process before its report.
void hold_signals();
